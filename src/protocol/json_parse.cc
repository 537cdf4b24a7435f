#include "protocol/json_parse.h"

#include <charconv>
#include <cstdint>
#include <system_error>
#include <utility>
#include <vector>
#include "util/utf8.h"

namespace kestrune::json {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal exponent of a number literal's first significant digit, saturated far outside
// the double range. Only consulted when the conversion left the double range, to tell an
// overflow (rejected) from an underflow (rounds to zero).
long long leading_exponent(std::string_view lit) {
  size_t i = 0;
  if (i < lit.size() && lit[i] == '-') ++i;
  long long int_digits = 0;
  long long zeros_after_point = 0;
  bool significant_in_int = false;
  while (i < lit.size() && is_digit(lit[i])) {
    if (lit[i] != '0') significant_in_int = true;
    ++int_digits;
    ++i;
  }
  if (i < lit.size() && lit[i] == '.') {
    ++i;
    while (i < lit.size() && lit[i] == '0') {
      ++zeros_after_point;
      ++i;
    }
    while (i < lit.size() && is_digit(lit[i])) ++i;
  }
  long long exp = 0;
  if (i < lit.size() && (lit[i] == 'e' || lit[i] == 'E')) {
    ++i;
    bool neg = false;
    if (i < lit.size() && (lit[i] == '+' || lit[i] == '-')) neg = lit[i++] == '-';
    for (; i < lit.size(); ++i) {
      if (exp < 1000000000LL) exp = exp * 10 + (lit[i] - '0');
    }
    if (neg) exp = -exp;
  }
  // A non-zero integer part has no leading zeros (the grammar forbids them).
  return significant_in_int ? exp + int_digits - 1 : exp - zeros_after_point - 1;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  ParseResult run() {
    if (s_.size() >= kNoNode) {
      fail("text too long", 0);
    } else {
      skip_space();
      if (parse_value(new_node(), 0)) {
        skip_space();
        if (pos_ < s_.size()) {
          fail("trailing characters", pos_);
        } else {
          Document document;
          document.nodes = std::move(nodes_);
          document.strings = std::move(strings_);
          return document;
        }
      }
    }
    return Failure<ParseError>{std::move(error_)};
  }

 private:
  bool fail(const char* message, size_t at) {
    error_.message = message;
    error_.offset = at;
    return false;
  }

  void skip_space() {
    while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
  }

  // Offsets fit: the text is shorter than kNoNode bytes.
  static uint32_t u32(size_t n) { return static_cast<uint32_t>(n); }

  uint32_t new_node() {
    nodes_.emplace_back();
    return u32(nodes_.size() - 1);
  }

  // Nodes are addressed by index: the vector grows while children are parsed.
  Node& node(uint32_t i) { return nodes_[i]; }

  // `depth` is the number of arrays and objects already open around this value.
  bool parse_value(uint32_t n, int depth) {
    if (pos_ >= s_.size()) return fail("unexpected end of input, expected a value", pos_);
    switch (s_[pos_]) {
      case '{':
        return parse_object(n, depth + 1);
      case '[':
        return parse_array(n, depth + 1);
      case '"': {
        const size_t at = strings_.size();
        if (!parse_string()) return false;
        Node& v = node(n);
        v.kind = Kind::String;
        v.text_at = u32(at);
        v.text_size = u32(strings_.size() - at);
        v.end = u32(pos_ - 1);
        return true;
      }
      case 't':
        node(n).kind = Kind::Bool;
        node(n).boolean = true;
        return parse_literal("true", n);
      case 'f':
        node(n).kind = Kind::Bool;
        return parse_literal("false", n);
      case 'n':
        return parse_literal("null", n);
      default:
        if (s_[pos_] == '-' || is_digit(s_[pos_])) return parse_number(n);
        return fail("expected a value", pos_);
    }
  }

  bool parse_literal(std::string_view word, uint32_t n) {
    for (char c : word) {
      if (pos_ >= s_.size() || s_[pos_] != c) return fail("invalid literal", pos_);
      ++pos_;
    }
    node(n).end = u32(pos_ - 1);
    return true;
  }

  // Appends child `c` to container `n`, whose last child so far is `last`.
  void link(uint32_t n, uint32_t& last, uint32_t c) {
    if (last == kNoNode) {
      node(n).first = c;
    } else {
      node(last).next = c;
    }
    last = c;
    ++node(n).count;
  }

  bool parse_object(uint32_t n, int depth) {
    if (depth > kMaxDepth) return fail("recursion limit exceeded", pos_);
    node(n).kind = Kind::Object;
    ++pos_;  // '{'
    skip_space();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      node(n).end = u32(pos_++);
      return true;
    }
    uint32_t last = kNoNode;
    for (;;) {
      if (pos_ >= s_.size()) return fail("unexpected end of input in an object", pos_);
      if (s_[pos_] != '"') {
        if (s_[pos_] == '}' && last != kNoNode) return fail("trailing comma", pos_);
        return fail("expected a string key", pos_);
      }
      const size_t key_at = strings_.size();
      if (!parse_string()) return false;
      const size_t key_end = pos_ - 1;
      skip_space();
      if (pos_ >= s_.size()) return fail("unexpected end of input in an object", pos_);
      if (s_[pos_] != ':') return fail("expected `:`", pos_);
      ++pos_;
      skip_space();
      const uint32_t c = new_node();
      node(c).key_at = u32(key_at);
      node(c).key_size = u32(strings_.size() - key_at);
      node(c).key_end = u32(key_end);
      link(n, last, c);
      if (!parse_value(c, depth)) return false;
      skip_space();
      if (pos_ >= s_.size()) return fail("unexpected end of input in an object", pos_);
      if (s_[pos_] == '}') {
        node(n).end = u32(pos_++);
        return true;
      }
      if (s_[pos_] != ',') return fail("expected `,` or `}`", pos_);
      ++pos_;
      skip_space();
    }
  }

  bool parse_array(uint32_t n, int depth) {
    if (depth > kMaxDepth) return fail("recursion limit exceeded", pos_);
    node(n).kind = Kind::Array;
    ++pos_;  // '['
    skip_space();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      node(n).end = u32(pos_++);
      return true;
    }
    uint32_t last = kNoNode;
    for (;;) {
      if (pos_ >= s_.size()) return fail("unexpected end of input in an array", pos_);
      if (s_[pos_] == ']' && last != kNoNode) return fail("trailing comma", pos_);
      const uint32_t c = new_node();
      link(n, last, c);
      if (!parse_value(c, depth)) return false;
      skip_space();
      if (pos_ >= s_.size()) return fail("unexpected end of input in an array", pos_);
      if (s_[pos_] == ']') {
        node(n).end = u32(pos_++);
        return true;
      }
      if (s_[pos_] != ',') return fail("expected `,` or `]`", pos_);
      ++pos_;
      skip_space();
    }
  }

  // Reads four hex digits after "\u"; pos_ is on the 'u'. Leaves pos_ on the last digit.
  bool read_hex4(uint32_t& out) {
    out = 0;
    for (int k = 0; k < 4; ++k) {
      ++pos_;
      if (pos_ >= s_.size()) return fail("unexpected end of input in a string", pos_);
      int h = hex_value(s_[pos_]);
      if (h < 0) return fail("invalid unicode escape", pos_);
      out = out * 16 + static_cast<uint32_t>(h);
    }
    return true;
  }

  // pos_ is on the backslash; leaves pos_ after the escape.
  bool parse_escape() {
    std::string& out = strings_;
    ++pos_;
    if (pos_ >= s_.size()) return fail("unexpected end of input in a string", pos_);
    char c = s_[pos_];
    switch (c) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        uint32_t cp = 0;
        if (!read_hex4(cp)) return false;
        static constexpr const char* kUnpaired = "unpaired surrogate in unicode escape";
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(kUnpaired, pos_);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          // A high surrogate must be followed at once by an escaped low surrogate.
          if (pos_ + 2 >= s_.size() || s_[pos_ + 1] != '\\' || s_[pos_ + 2] != 'u') {
            return fail(kUnpaired, pos_ + 1 < s_.size() ? pos_ + 1 : s_.size());
          }
          pos_ += 2;
          uint32_t low = 0;
          if (!read_hex4(low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) return fail(kUnpaired, pos_);
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, cp);
        break;
      }
      default:
        return fail("invalid escape", pos_);
    }
    ++pos_;
    return true;
  }

  // Checks one multi-byte UTF-8 sequence starting at pos_ and copies it; leaves pos_ after it.
  bool copy_utf8_sequence() {
    const auto lead = static_cast<unsigned char>(s_[pos_]);
    int extra = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) lo = 0xA0;  // no overlong forms
      if (lead == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return fail("invalid UTF-8 in string", pos_);
    }
    const size_t start = pos_;
    for (int k = 0; k < extra; ++k) {
      ++pos_;
      if (pos_ >= s_.size()) return fail("unexpected end of input in a string", pos_);
      const auto b = static_cast<unsigned char>(s_[pos_]);
      if (b < lo || b > hi) return fail("invalid UTF-8 in string", pos_);
      lo = 0x80;
      hi = 0xBF;
    }
    ++pos_;
    strings_.append(s_.data() + start, pos_ - start);
    return true;
  }

  // pos_ is on the opening quote; leaves pos_ after the closing quote. The decoded text
  // goes to the end of strings_.
  bool parse_string() {
    ++pos_;
    for (;;) {
      const size_t run = pos_;
      while (pos_ < s_.size()) {
        const auto c = static_cast<unsigned char>(s_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++pos_;
      }
      strings_.append(s_.data() + run, pos_ - run);
      if (pos_ >= s_.size()) return fail("unexpected end of input in a string", pos_);
      const auto c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        if (!parse_escape()) return false;
      } else if (c < 0x20) {
        return fail("control character in string", pos_);
      } else if (!copy_utf8_sequence()) {
        return false;
      }
    }
  }

  bool parse_number(uint32_t n) {
    const size_t start = pos_;
    bool negative = false;
    if (s_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    if (pos_ >= s_.size() || !is_digit(s_[pos_])) return fail("invalid number", pos_);
    uint64_t magnitude = 0;
    bool big = false;
    if (s_[pos_] == '0') {
      ++pos_;
      if (pos_ < s_.size() && is_digit(s_[pos_])) return fail("invalid number", pos_);
    } else {
      while (pos_ < s_.size() && is_digit(s_[pos_])) {
        const auto d = static_cast<uint64_t>(s_[pos_] - '0');
        if (magnitude > (UINT64_MAX - d) / 10) big = true;
        if (!big) magnitude = magnitude * 10 + d;
        ++pos_;
      }
    }
    bool integer = true;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      integer = false;
      ++pos_;
      if (pos_ >= s_.size() || !is_digit(s_[pos_])) return fail("invalid number", pos_);
      while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      integer = false;
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (pos_ >= s_.size() || !is_digit(s_[pos_])) return fail("invalid number", pos_);
      while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
    }
    const std::string_view lit = s_.substr(start, pos_ - start);
    double real = 0.0;
    const auto conv = std::from_chars(lit.data(), lit.data() + lit.size(), real);
    if (conv.ec == std::errc::result_out_of_range) {
      if (leading_exponent(lit) >= 0) return fail("number out of range", start);
      real = negative ? -0.0 : 0.0;
    } else if (conv.ec != std::errc() || conv.ptr != lit.data() + lit.size()) {
      return fail("invalid number", start);  // not reached for a literal of the grammar
    }
    Node& v = node(n);
    v.kind = integer ? Kind::Integer : Kind::Real;
    v.negative = negative;
    v.big = integer && big;
    v.magnitude = integer && !big ? magnitude : 0;
    v.real = real;
    v.text_at = u32(strings_.size());
    v.text_size = u32(lit.size());
    v.end = u32(pos_ - 1);
    strings_.append(lit);
    return true;
  }

  std::string_view s_;
  size_t pos_ = 0;
  std::vector<Node> nodes_;
  std::string strings_;
  ParseError error_;
};

}  // namespace

ParseResult parse(std::string_view text) { return Parser(text).run(); }

}  // namespace kestrune::json
