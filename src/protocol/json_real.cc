#include "protocol/json_real.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace kestrune::json {

std::string format_finite_real(double x) {
  // The standard library yields the shortest round-trip digits in scientific form,
  // "d[.ddd]e±XX"; the layout is then ours to choose.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  const size_t e = sci.find('e');
  std::string_view mantissa = sci.substr(0, e);
  const int exp = std::atoi(std::string(sci.substr(e + 1)).c_str());

  std::string out;
  if (!mantissa.empty() && mantissa[0] == '-') {
    out.push_back('-');
    mantissa.remove_prefix(1);
  }
  std::string digits;  // significant digits without the point
  for (char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }

  const bool zero = digits == "0";
  if (zero || (exp >= -5 && exp < 16)) {
    if (zero || exp < 0) {
      out += "0.";
      if (!zero) out.append(static_cast<size_t>(-exp - 1), '0');
      out += digits;
    } else {
      const auto int_len = static_cast<size_t>(exp) + 1;
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, int_len);
        out.push_back('.');
        out.append(digits, int_len, std::string::npos);
      }
    }
    return out;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out.append(digits, 1, std::string::npos);
  }
  out.push_back('e');
  out += std::to_string(exp);
  return out;
}

}  // namespace kestrune::json
