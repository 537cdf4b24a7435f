#pragma once
// Strict UTF-8 checks for text that crosses the protocol boundary.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune {

/// True when `text` is well-formed UTF-8: no overlong forms, no surrogates
/// (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view text);

/// Length of the longest prefix of `text` that is at most `max_bytes` long and does not
/// end inside a multi-byte character. `text` is expected to be valid UTF-8; for other
/// bytes the cut backs up at most three bytes.
size_t utf8_prefix_length(std::string_view text, size_t max_bytes);

/// Appends the UTF-8 form of `c`; a surrogate or a value above U+10FFFF becomes U+FFFD.
void append_utf8(std::string& out, char32_t c);

}  // namespace kestrune
