#include "protocol/json_describe.h"

#include "protocol/json_real.h"

namespace kestrune::json {

std::string quote_string(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string describe(const Document& doc, const Node& v) {
  switch (v.kind) {
    case Kind::Null:
      return "unit value";
    case Kind::Bool:
      return v.boolean ? "boolean `true`" : "boolean `false`";
    case Kind::Integer: {
      std::string n;
      if (v.big) {
        n = doc.text(v);  // the grammar leaves a literal this long no other spelling
      } else {
        if (v.negative && v.magnitude != 0) n.push_back('-');
        n += std::to_string(v.magnitude);
      }
      return "integer `" + n + "`";
    }
    case Kind::Real:
      return "floating point `" + format_finite_real(v.real) + "`";
    case Kind::String:
      return "string " + quote_string(doc.text(v));
    case Kind::Array:
      return "sequence";
    case Kind::Object:
      return "map";
  }
  return "unit value";
}

}  // namespace kestrune::json
