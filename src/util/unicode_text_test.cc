#include "util/unicode_text.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace unicode_text_test {

TEST(UnicodeLower, FullMappingAcrossScripts) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"Vendor A GRAPHICS 7900", "vendor a graphics 7900"},
      {"\xC3\x80\xC3\x89\xC3\x96\xC3\x9E", "\xC3\xA0\xC3\xA9\xC3\xB6\xC3\xBE"},  // ÀÉÖÞ
      {"\xC3\x9F\xC3\xBF", "\xC3\x9F\xC3\xBF"},       // ß ÿ stay (no lower-case form)
      {"\xC5\x81\xC5\xB8\xC5\xBD", "\xC5\x82\xC3\xBF\xC5\xBE"},  // ŁŸŽ (Ext-A; Ÿ → ÿ)
      {"\xC6\x81\xC7\x85\xC8\xA0", "\xC9\x93\xC7\x86\xC6\x9E"},  // Ɓ ǅ Ƞ (Ext-B)
      {"\xCE\x86\xCE\xA9\xCF\x8F", "\xCE\xAC\xCF\x89\xCF\x97"},  // Ά Ω Ϗ (Greek)
      {"\xD0\x81\xD0\xAF\xD2\x90\xD4\xA6", "\xD1\x91\xD1\x8F\xD2\x91\xD4\xA7"},  // Ё Я Ґ Ԧ
      {"\xE1\xBA\x9E\xE2\x84\xAA\xEF\xBC\xA1", "\xC3\x9F" "k" "\xEF\xBD\x81"},  // ẞ K(Kelvin) Ａ
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},  // Deseret, outside the BMP
      {"\xC4\xB0stanbul", "i\xCC\x87stanbul"},   // İ → i + combining dot above
  };
  for (const Case& c : cases) EXPECT_EQ(unicode_lower(c.in), c.out) << c.in;
}

TEST(UnicodeLower, CapitalSigmaIsFinalOnlyAtTheEndOfAWord) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"\xCE\xA3", "\xCF\x83"},                                  // Σ alone → σ
      {"\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x82"},                  // ΟΣ → ος
      {"\xCE\x9F\xCE\xA3 X", "\xCE\xBF\xCF\x82 x"},              // before a space
      {"\xCE\x9F\xCE\xA3\xCE\x91", "\xCE\xBF\xCF\x83\xCE\xB1"},  // ΟΣΑ: inside the word → σ
      {"\xCE\x9F'\xCE\xA3'", "\xCE\xBF'\xCF\x82'"},              // apostrophes are skipped
      {"\xCE\x9F\xCE\xA3'\xCE\x91", "\xCE\xBF\xCF\x83'\xCE\xB1"},
      {"1\xCE\xA3", "1\xCF\x83"},                                // no cased letter before
  };
  for (const Case& c : cases) EXPECT_EQ(unicode_lower(c.in), c.out) << c.in;
}

TEST(UnicodeText, TrimRemovesUnicodeWhiteSpaceOnlyAtTheEnds) {
  EXPECT_EQ(trim_unicode_white_space(" \t\n\v\f\r\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80"
                                     "a b\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF"
                                     "\xE2\x81\x9F\xE3\x80\x80"),
            "a b");
  // Zero-width space and BOM are not White_Space.
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8B" "x\xEF\xBB\xBF"),
            "\xE2\x80\x8B" "x\xEF\xBB\xBF");
  EXPECT_EQ(trim_unicode_white_space(" \xE3\x80\x80 "), "");
}

TEST(UnicodeText, MalformedUtf8BecomesReplacementCharacters) {
  const std::string bad[] = {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"};
  for (const std::string& s : bad) {
    for (char32_t c : decode_utf8(s)) EXPECT_EQ(c, 0xFFFDu);
  }
  EXPECT_EQ(decode_utf8("a\xE2\x82" "b"), (std::u32string{U'a', 0xFFFD, 0xFFFD, U'b'}));
  EXPECT_EQ(unicode_lower("A\xFF"), "a\xEF\xBF\xBD");
}

}  // namespace unicode_text_test
}  // namespace kestrune
