#include "util/utf8.h"

#include <cstdint>

namespace kestrune {

namespace {
bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }
}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    const uint8_t b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    size_t len;
    // The second byte's range excludes overlongs (E0, F0), surrogates (ED) and code
    // points above U+10FFFF (F4).
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;  // a stray continuation byte, C0/C1 (always overlong) or F5..FF
    }
    if (static_cast<size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t i = 2; i < len; ++i) {
      if (!is_continuation(p[i])) return false;
    }
    p += len;
  }
  return true;
}

size_t utf8_prefix_length(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  size_t n = max_bytes;
  // text[n] is the first byte left out; while it continues a character, that character
  // started inside the prefix and must go too.
  for (int backs = 0; backs < 3 && n > 0; ++backs) {
    if (!is_continuation(static_cast<uint8_t>(text[n]))) break;
    --n;
  }
  return n;
}

void append_utf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace kestrune
