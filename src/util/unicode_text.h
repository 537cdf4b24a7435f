#pragma once
// The few Unicode text operations adapter names and hints need, on UTF-8 strings.

#include <string>
#include <string_view>

#include "util/utf8.h"  // append_utf8

namespace kestrune {

/// True for the code points of the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

/// Decodes UTF-8; every byte that does not start a well-formed sequence becomes U+FFFD.
std::u32string decode_utf8(std::string_view utf8);

/// `utf8` without leading and trailing White_Space (decoded as decode_utf8 does).
std::string trim_unicode_white_space(std::string_view utf8);

/// The full, language-independent Unicode lower-case mapping of `utf8`: every code point's
/// lower-case form, U+0130 as "i" + U+0307, and capital sigma as final sigma at the end of a
/// word. Covers all of Unicode at the version unicode_case_tables.inc was generated from.
std::string unicode_lower(std::string_view utf8);

}  // namespace kestrune
