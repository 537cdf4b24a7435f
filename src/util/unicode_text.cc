#include "util/unicode_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace kestrune {
namespace {

struct LowerRun {
  char32_t first;
  char32_t last;
  int stride;
  int delta;
};
struct SigmaClassRun {
  char32_t first;
  char32_t last;
  int cls;
};

#include "util/unicode_case_tables.inc"
#include "util/utf8.h"

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr int kCased = 1;
constexpr int kCaseIgnorable = 2;

char32_t lower_simple(char32_t c) {
  auto it = std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), c,
                             [](char32_t v, const LowerRun& r) { return v < r.first; });
  if (it == std::begin(kLowerRuns)) return c;
  const LowerRun& r = *std::prev(it);
  if (c > r.last || (c - r.first) % static_cast<char32_t>(r.stride) != 0) return c;
  return static_cast<char32_t>(static_cast<int64_t>(c) + r.delta);
}

int sigma_class(char32_t c) {
  auto it = std::upper_bound(std::begin(kSigmaClassRuns), std::end(kSigmaClassRuns), c,
                             [](char32_t v, const SigmaClassRun& r) { return v < r.first; });
  if (it == std::begin(kSigmaClassRuns)) return 0;
  const SigmaClassRun& r = *std::prev(it);
  return c <= r.last ? r.cls : 0;
}

// Final_Sigma: a cased letter comes before (skipping case-ignorable ones) and none after.
bool is_final_sigma(const std::u32string& s, size_t i) {
  size_t j = i;
  while (j > 0 && sigma_class(s[j - 1]) == kCaseIgnorable) --j;
  if (j == 0 || sigma_class(s[j - 1]) != kCased) return false;
  size_t k = i + 1;
  while (k < s.size() && sigma_class(s[k]) == kCaseIgnorable) ++k;
  return k == s.size() || sigma_class(s[k]) != kCased;
}

}  // namespace

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::u32string decode_utf8(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    size_t len = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2, c = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3, c = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4, c = b0 & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= utf8.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto b = static_cast<unsigned char>(utf8[i + k]);
      ok = (b & 0xC0) == 0x80;
      c = (c << 6) | (b & 0x3F);
    }
    ok = ok && c >= min && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    out.push_back(ok ? c : kReplacement);
    i += ok ? len : 1;
  }
  return out;
}

std::string trim_unicode_white_space(std::string_view utf8) {
  const std::u32string s = decode_utf8(utf8);
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && is_unicode_white_space(s[begin])) ++begin;
  while (end > begin && is_unicode_white_space(s[end - 1])) --end;
  std::string out;
  for (size_t i = begin; i < end; ++i) append_utf8(out, s[i]);
  return out;
}

std::string unicode_lower(std::string_view utf8) {
  const std::u32string s = decode_utf8(utf8);
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const char32_t c = s[i];
    if (c == 0x0130) {  // the one unconditional one-to-many lower-case mapping
      out += "i\xCC\x87";
    } else if (c == kCapitalSigma) {
      append_utf8(out, is_final_sigma(s, i) ? kFinalSigma : lower_simple(c));
    } else {
      append_utf8(out, lower_simple(c));
    }
  }
  return out;
}

}  // namespace kestrune
