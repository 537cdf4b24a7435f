#include "gpu/adapter_choice.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrune {

namespace adapter_choice_test {

constexpr uint64_t kGiB = uint64_t{1} << 30;

AdapterInfo hw(std::string name, uint64_t gib) {
  return {std::move(name), gib * kGiB, 0x10DE, false};
}
AdapterInfo sw(std::string name, uint64_t gib) {
  return {std::move(name), gib * kGiB, 0x1414, true};
}

TEST(ChooseAdapter, HintMemoryAndSoftwareRules) {
  const std::vector<AdapterInfo> two = {hw("Vendor A Graphics", 4), hw("Vendor B Graphics", 8)};
  const std::vector<AdapterInfo> with_sw = {sw("Basic Render Driver", 64), hw("Vendor A", 2),
                                            hw("Vendor B", 4)};
  const std::vector<AdapterInfo> ties = {hw("First", 8), hw("Second", 8), hw("Small", 1)};
  const std::vector<AdapterInfo> many_matches = {hw("Vendor X 1000", 2), hw("Vendor X 2000", 16)};
  struct Case {
    const char* what;
    const std::vector<AdapterInfo>& adapters;
    std::optional<std::string> hint;
    std::optional<size_t> chosen;
  } cases[] = {
      {"no hint: most memory", two, std::nullopt, 1},
      {"hint trimmed and case-folded", two, "  vendor a  ", 0},
      {"hint with Unicode spaces", two, "\xE3\x80\x80VENDOR A\xC2\xA0", 0},
      {"hint matching nothing", two, "vendor z", 1},
      {"white-space hint is no hint", two, " \t\xE2\x80\x83", 1},
      {"empty hint is no hint", two, "", 1},
      {"hint naming only a software adapter", with_sw, "basic render", 2},
      {"software never wins on memory", with_sw, std::nullopt, 2},
      {"equal memory: earlier wins", ties, std::nullopt, 0},
      {"several matches: first in order", many_matches, "vendor x", 0},
      {"hint is a substring, not a prefix", two, "r b gra", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_adapter(c.adapters, c.hint), c.chosen) << c.what;
  }
}

TEST(ChooseAdapter, NoChoiceWithoutHardwareAdapter) {
  EXPECT_EQ(choose_adapter({}, std::nullopt), std::nullopt);
  const std::vector<AdapterInfo> only_sw = {sw("Basic Render Driver", 0)};
  EXPECT_EQ(choose_adapter(only_sw, std::nullopt), std::nullopt);
  EXPECT_EQ(choose_adapter(only_sw, "basic"), std::nullopt);
}

TEST(ChooseAdapter, HintComparesUnicodeLowerCase) {
  const std::vector<AdapterInfo> adapters = {hw("Generic", 8), hw("\xC3\x89LAN \xC4\xB0X", 1),
                                             hw("\xD0\x92\xD0\x98\xD0\x94\xD0\x95\xD0\x9E", 1)};
  EXPECT_EQ(choose_adapter(adapters, "\xC3\xA9lan"), 1u);        // élan matches ÉLAN
  EXPECT_EQ(choose_adapter(adapters, "\xC4\xB0x"), 1u);          // İ folds the same on both sides
  EXPECT_EQ(choose_adapter(adapters, "\xD0\xB2\xD0\xB8\xD0\xB4"), 2u);  // вид in ВИДЕО
}

TEST(ChooseAdapter, OnlyTheFirstSixteenCount) {
  std::vector<AdapterInfo> adapters;
  for (int i = 0; i < 16; ++i) adapters.push_back(hw("Card " + std::to_string(i), 1));
  adapters.push_back(hw("Huge Card", 64));
  EXPECT_EQ(choose_adapter(adapters, std::nullopt), 0u);
  EXPECT_EQ(choose_adapter(adapters, "huge"), 0u);
}

// The test builds' one difference: a software adapter competes like any other, while the
// shipped rule (the default) still refuses it in the same lists.
TEST(ChooseAdapter, SoftwareAcceptedOnlyWhenAsked) {
  const std::vector<AdapterInfo> only_sw = {sw("llvmpipe", 0)};
  const std::vector<AdapterInfo> mixed = {hw("Vendor A", 2), sw("Software Rasterizer", 4)};
  struct Case {
    const char* what;
    const std::vector<AdapterInfo>& adapters;
    std::optional<std::string> hint;
    std::optional<size_t> refused;
    std::optional<size_t> accepted;
  } cases[] = {
      {"only a software adapter", only_sw, std::nullopt, std::nullopt, 0},
      {"hint naming the software adapter", mixed, "rasterizer", 0, 1},
      {"software adapter with more memory", mixed, std::nullopt, 0, 1},
      {"hint naming the hardware adapter", mixed, "vendor", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_adapter(c.adapters, c.hint), c.refused) << c.what;
    EXPECT_EQ(choose_adapter(c.adapters, c.hint, SoftwareAdapters::Refused), c.refused) << c.what;
    EXPECT_EQ(choose_adapter(c.adapters, c.hint, SoftwareAdapters::Accepted), c.accepted)
        << c.what;
  }
}

}  // namespace adapter_choice_test

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
