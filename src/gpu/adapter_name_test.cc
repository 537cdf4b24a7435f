#include "gpu/adapter_name.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace adapter_name_test {

std::u16string description(std::u16string text) {
  text.resize(kAdapterDescriptionUnits, u'\0');
  return text;
}

TEST(AdapterName, StopsAtNulTrimsAndKeepsCase) {
  EXPECT_EQ(adapter_name_from_description(description(u"  Vendor B Graphics   ")),
            "Vendor B Graphics");
  EXPECT_EQ(adapter_name_from_description(description(u"\u3000GPU\u00A0X\u2003")), "GPU\u00A0X");
  // Units after the first NUL are not part of the name.
  std::u16string d = description(u"Card");
  d[10] = u'Z';
  EXPECT_EQ(adapter_name_from_description(d), "Card");
  EXPECT_EQ(adapter_name_from_description(description(u"")), "");
}

TEST(AdapterName, UsesAll128UnitsWithoutNul) {
  const std::u16string full(kAdapterDescriptionUnits, u'\u00C9');
  const std::string name = adapter_name_from_description(full);
  EXPECT_EQ(name.size(), 2 * kAdapterDescriptionUnits);
  EXPECT_EQ(name.substr(0, 2), "\xC3\x89");
}

TEST(AdapterName, SurrogatesPairedOrReplaced) {
  struct Case {
    std::u16string units;
    std::string name;
  } cases[] = {
      {u"A\xD83D\xDE80" u"B", "A\xF0\x9F\x9A\x80" "B"},           // a pair: U+1F680
      {std::u16string(u"A") + char16_t(0xD83D) + u"B", "A\xEF\xBF\xBD" "B"},  // lone high
      {std::u16string(u"A") + char16_t(0xDE80), "A\xEF\xBF\xBD"},           // lone low at end
      {std::u16string{char16_t(0xDE80), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // reversed
  };
  for (const Case& c : cases) {
    EXPECT_EQ(adapter_name_from_description(description(c.units)), c.name);
  }
}

}  // namespace adapter_name_test
}  // namespace kestrune
