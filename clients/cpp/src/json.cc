#include "kestrune/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kestrune::json {

const Value* Value::find(std::string_view key) const {
  for (const auto& [name, value] : members) {
    if (name == key) return &value;
  }
  return nullptr;
}

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<Value> run(std::string& error) {
    Value v;
    skip_space();
    if (!value(v, 1)) {
      error = error_ + " at offset " + std::to_string(pos_);
      return std::nullopt;
    }
    skip_space();
    if (pos_ != text_.size()) {
      error = "trailing characters at offset " + std::to_string(pos_);
      return std::nullopt;
    }
    return v;
  }

 private:
  bool fail(const char* why) {
    error_ = why;
    return false;
  }
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  void skip_space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n')) ++pos_;
  }
  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return fail("invalid literal");
    pos_ += word.size();
    return true;
  }

  bool value(Value& out, int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    switch (peek()) {
      case '{': return object(out, depth);
      case '[': return array(out, depth);
      case '"': out.kind = Value::Kind::string; return string(out.string);
      case 't': out.kind = Value::Kind::boolean; out.boolean = true; return literal("true");
      case 'f': out.kind = Value::Kind::boolean; out.boolean = false; return literal("false");
      case 'n': out.kind = Value::Kind::null; return literal("null");
      default: return numeric(out);
    }
  }

  bool object(Value& out, int depth) {
    out.kind = Value::Kind::object;
    ++pos_;
    skip_space();
    if (peek() == '}') return ++pos_, true;
    for (;;) {
      skip_space();
      if (peek() != '"') return fail("expected a member name");
      std::string name;
      if (!string(name)) return false;
      skip_space();
      if (peek() != ':') return fail("expected ':'");
      ++pos_;
      skip_space();
      Value member;
      if (!value(member, depth + 1)) return false;
      out.members.emplace_back(std::move(name), std::move(member));
      skip_space();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') return ++pos_, true;
      return fail("expected ',' or '}'");
    }
  }

  bool array(Value& out, int depth) {
    out.kind = Value::Kind::array;
    ++pos_;
    skip_space();
    if (peek() == ']') return ++pos_, true;
    for (;;) {
      skip_space();
      Value item;
      if (!value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      skip_space();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') return ++pos_, true;
      return fail("expected ',' or ']'");
    }
  }

  bool hex4(unsigned& code) {
    if (text_.size() - pos_ < 4) return fail("short \\u escape");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') code |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') code |= static_cast<unsigned>(c - 'A' + 10);
      else return fail("bad \\u escape");
    }
    return true;
  }

  static void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool escape(std::string& out) {
    if (at_end()) return fail("unterminated string");
    const char c = text_[pos_++];
    switch (c) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: return fail("bad escape");
    }
    unsigned cp = 0;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone low surrogate");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      unsigned low = 0;
      if (text_.substr(pos_, 2) != "\\u") return fail("lone high surrogate");
      pos_ += 2;
      if (!hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail("lone high surrogate");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, cp);
    return true;
  }

  bool string(std::string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (at_end()) return fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
      if (c == '\\') {
        if (!escape(out)) return false;
      } else {
        out += c;
      }
    }
  }

  bool numeric(Value& out) {
    const size_t start = pos_;
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (peek() >= '1' && peek() <= '9') {
      while (peek() >= '0' && peek() <= '9') ++pos_;
    } else {
      return fail("unexpected character");
    }
    bool integral = true;
    if (peek() == '.') {
      integral = false;
      ++pos_;
      if (!(peek() >= '0' && peek() <= '9')) return fail("digit expected after '.'");
      while (peek() >= '0' && peek() <= '9') ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      integral = false;
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!(peek() >= '0' && peek() <= '9')) return fail("digit expected in exponent");
      while (peek() >= '0' && peek() <= '9') ++pos_;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    out.kind = Value::Kind::number;
    const auto parsed = std::from_chars(first, last, out.number);
    if (parsed.ec == std::errc::invalid_argument) return fail("bad number");
    // Out of range: from_chars leaves the value alone; JSON readers agree on infinity.
    if (parsed.ec == std::errc::result_out_of_range) {
      out.number = *first == '-' ? -HUGE_VAL : HUGE_VAL;
    }
    if (integral) {
      std::uint64_t u = 0;
      std::int64_t s = 0;
      if (*first != '-' && std::from_chars(first, last, u).ec == std::errc()) out.unsigned_integer = u;
      if (std::from_chars(first, last, s).ec == std::errc()) out.signed_integer = s;
    }
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

std::optional<Value> parse(std::string_view text, std::string& error) {
  return Parser(text).run(error);
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string number(double x) {
  if (!std::isfinite(x)) return "null";
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

}  // namespace kestrune::json
