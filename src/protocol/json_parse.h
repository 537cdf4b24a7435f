#pragma once
// Strict JSON text parser for command lines.

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/json_value.h"
#include "util/result.h"

namespace kestrune::json {

/// Arrays and objects may nest this deep, the outermost counting as one.
inline constexpr int kMaxDepth = 127;

/// Why and where a text is not acceptable JSON. `offset` is the 0-based byte offset where
/// the parser stood: the offending byte, or the text's length when the text ended early.
struct ParseError {
  std::string message;
  size_t offset = 0;
};

/// Either a document or the reason there is none.
using ParseResult = Result<Document, ParseError>;

/// Parses `text` as exactly one JSON value (RFC 8259), optionally surrounded by space, tab,
/// CR and LF. Strict: no comments, no trailing commas, no leading zeros, no raw control
/// characters or invalid UTF-8 in strings, no unpaired surrogate escapes, no number whose
/// magnitude overflows a double (tiny ones round to zero). Nesting deeper than kMaxDepth
/// fails with "recursion limit exceeded", anything after the value with "trailing
/// characters". A text of 4 GiB or more fails with "text too long". Recursion is bounded by
/// kMaxDepth; memory is proportional to the text's length.
ParseResult parse(std::string_view text);

}  // namespace kestrune::json
