#include "gpu/adapter_name.h"

#include "gpu/unicode_text.h"

namespace kestrune {

std::string adapter_name_from_description(std::u16string_view units) {
  const size_t nul = units.find(u'\0');
  if (nul != std::u16string_view::npos) units = units.substr(0, nul);
  std::string utf8;
  for (size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_utf8(utf8, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      append_utf8(utf8, u);  // a lone surrogate comes out as U+FFFD
    }
  }
  return trim_unicode_white_space(utf8);
}

}  // namespace kestrune
