#pragma once
// How failure messages name an offending JSON value.

#include <string>
#include <string_view>

#include "protocol/json_value.h"

namespace kestrune::json {

/// Names a value for a failure message: "integer `5`", "floating point `1.0`",
/// "boolean `true`", "string \"abc\"", "unit value" (null), "sequence" (array), "map"
/// (object). An integer shows its exact value ("-0" shows as `0`; one beyond 64 bits as
/// written); a real shows format_finite_real of its double; a string shows quote_string.
std::string describe(const Document& doc, const Node& v);

/// The text in double quotes with the quote and the backslash escaped by a backslash,
/// U+0008, U+0009, U+000A, U+000C, U+000D as \b \t \n \f \r, other characters below
/// U+0020 as \u00xx (lower-case hex), and everything else (U+007F and non-ASCII
/// included) as its own bytes: the same escaping events use, so a message stays one line.
std::string quote_string(std::string_view s);

}  // namespace kestrune::json
