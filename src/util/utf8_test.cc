#include "util/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace utf8_test {

TEST(Utf8, AcceptsWellFormedText) {
  const std::string good[] = {
      "",
      "plain ascii {\"cmd\":\"hb\"}",
      std::string("nul \0 and del \x7f", 15),
      "\xC2\x80",              // U+0080, smallest two-byte
      "\xDF\xBF",              // U+07FF
      "\xE0\xA0\x80",          // U+0800, smallest three-byte
      "\xED\x9F\xBF",          // U+D7FF, just below the surrogates
      "\xEE\x80\x80",          // U+E000, just above them
      "\xEF\xBB\xBF{}",        // byte-order mark
      "\xF0\x90\x80\x80",      // U+10000, smallest four-byte
      "\xF4\x8F\xBF\xBF",      // U+10FFFF, the largest code point
      "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
  };
  for (const auto& s : good) EXPECT_TRUE(is_valid_utf8(s)) << testing::PrintToString(s);
}

TEST(Utf8, RejectsEveryMalformedShape) {
  const std::string bad[] = {
      "\xFF",
      "ok\xFE",
      "\x80",                  // stray continuation
      "\xC0\x80",              // overlong NUL
      "\xC1\xBF",              // overlong two-byte
      "\xE0\x9F\xBF",          // overlong three-byte
      "\xF0\x8F\xBF\xBF",      // overlong four-byte
      "\xED\xA0\x80",          // U+D800
      "\xED\xBF\xBF",          // U+DFFF
      "\xF4\x90\x80\x80",      // U+110000
      "\xF5\x80\x80\x80",
      "\xC3",                  // truncated at the end
      "\xE2\x82",
      "\xF0\x9F\x98",
      "\xC3(",                 // continuation missing
      "\xE2\x28\xA1",
      "\xF0\x9F\x28\x80",
  };
  for (const auto& s : bad) EXPECT_FALSE(is_valid_utf8(s)) << testing::PrintToString(s);
}

TEST(Utf8, PrefixNeverSplitsACharacter) {
  struct Case {
    std::string text;
    size_t max;
    size_t expected;
  };
  const Case cases[] = {
      {"abc", 5, 3},
      {"abc", 3, 3},
      {"abcd", 3, 3},
      {"ab\xC3\xA9", 3, 2},               // would keep half of é
      {"ab\xC3\xA9", 4, 4},
      {"a\xE2\x82\xAC" "b", 2, 1},        // euro sign, cut after its first byte
      {"a\xE2\x82\xAC" "b", 3, 1},        // after its second
      {"a\xE2\x82\xAC" "b", 4, 4},
      {"\xF0\x9F\x98\x80!", 3, 0},
      {"\xF0\x9F\x98\x80!", 4, 4},
      {"x", 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_prefix_length(c.text, c.max), c.expected)
        << testing::PrintToString(c.text) << " max " << c.max;
  }
}

}  // namespace utf8_test
}  // namespace kestrune
