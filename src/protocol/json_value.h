#pragma once
// A parsed JSON text as the command decoder needs it: object members in input order with
// duplicates kept, integers apart from reals, and where each value ended in the text.
// Stored flat, so memory stays a small multiple of the text and nothing recurses to free it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::json {

/// The seven shapes a JSON value can take. A number without fraction or exponent is an
/// Integer ("-0" included); any other number is a Real.
enum class Kind : uint8_t { Null, Bool, Integer, Real, String, Array, Object };

/// Index of no node: the end of a list of children.
inline constexpr uint32_t kNoNode = UINT32_MAX;

/// One value of a Document. Only the fields of its kind are meaningful.
struct Node {
  Kind kind = Kind::Null;
  bool boolean = false;
  /// Integer: the sign and the magnitude. `big` means the magnitude needs more than 64 bits;
  /// then `magnitude` is unused and the literal is the only exact form.
  bool negative = false;
  bool big = false;
  /// Array and Object: the children in input order, linked through `next`.
  uint32_t first = kNoNode;
  uint32_t next = kNoNode;
  uint32_t count = 0;
  /// String: the decoded UTF-8 text; Integer and Real: the literal exactly as written.
  /// A range of Document::strings.
  uint32_t text_at = 0;
  uint32_t text_size = 0;
  /// As a member of an object: its key, a range of Document::strings.
  uint32_t key_at = 0;
  uint32_t key_size = 0;
  /// Byte offsets in the parsed text of the value's last byte (a closing quote or bracket,
  /// the last digit or letter) and, for a member, of its key's closing quote.
  uint32_t end = 0;
  uint32_t key_end = 0;
  uint64_t magnitude = 0;
  /// Integer and Real: the literal's value correctly rounded to a double (always finite).
  double real = 0.0;
};

/// A parsed text: nodes[0] is the top-level value.
struct Document {
  std::vector<Node> nodes;
  std::string strings;  // decoded strings, keys and number literals, back to back

  const Node& root() const { return nodes.front(); }
  std::string_view text(const Node& n) const {
    return std::string_view(strings).substr(n.text_at, n.text_size);
  }
  std::string_view key(const Node& n) const {
    return std::string_view(strings).substr(n.key_at, n.key_size);
  }
  /// The first child of an array or object, then each next one; nullptr after the last.
  const Node* first_child(const Node& n) const { return at(n.first); }
  const Node* next_sibling(const Node& n) const { return at(n.next); }

 private:
  const Node* at(uint32_t i) const { return i == kNoNode ? nullptr : &nodes[i]; }
};

}  // namespace kestrune::json
