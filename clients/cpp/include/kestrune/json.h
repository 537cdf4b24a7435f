#pragma once
// A small JSON reader and the string/number writers the client needs. Self-contained on
// purpose: a controller links this client without any of the helper's own libraries.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune::json {

/// One parsed JSON value. Objects keep their members in order (duplicates included, so a
/// caller can tell them apart); numbers keep an exact integer form when they have one.
struct Value {
  enum class Kind { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  bool boolean = false;
  double number = 0.0;
  /// Set for a number written without fraction or exponent that fits the type.
  std::optional<std::uint64_t> unsigned_integer;
  std::optional<std::int64_t> signed_integer;
  std::string string;
  std::vector<Value> items;
  std::vector<std::pair<std::string, Value>> members;

  /// The first member named `key`, or null when this is no object or has no such member.
  const Value* find(std::string_view key) const;
};

/// Nesting deeper than this is refused, so a hostile line cannot exhaust the stack.
inline constexpr int kMaxDepth = 64;

/// Parses one complete JSON text (surrounding whitespace allowed). On failure returns no
/// value and a short reason with the byte offset in `error`.
std::optional<Value> parse(std::string_view text, std::string& error);

/// `text` as a JSON string literal, quotes included (control characters escaped).
std::string quote(std::string_view text);

/// `x` in the shortest form that reads back as the same double; "null" when not finite.
std::string number(double x);

}  // namespace kestrune::json
