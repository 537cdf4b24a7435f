#include "protocol/json_describe.h"

#include <gtest/gtest.h>

#include "protocol/json_parse.h"

namespace kestrune {
namespace json_describe_test {

TEST(JsonDescribe, NamesEachKindOfValue) {
  const struct {
    const char* text;
    const char* found;
  } cases[] = {
      {"5", "integer `5`"},
      {"-1", "integer `-1`"},
      {"-0", "integer `0`"},
      {"18446744073709551615", "integer `18446744073709551615`"},
      {"-18446744073709551615", "integer `-18446744073709551615`"},
      {"123456789012345678901234567890", "integer `123456789012345678901234567890`"},
      {"1.0", "floating point `1.0`"},
      {"1e0", "floating point `1.0`"},
      {"-0.0", "floating point `-0.0`"},
      {"2.50", "floating point `2.5`"},
      {"1e16", "floating point `1e16`"},
      {"0.00000025", "floating point `2.5e-7`"},
      {"true", "boolean `true`"},
      {"false", "boolean `false`"},
      {"null", "unit value"},
      {"[]", "sequence"},
      {"{}", "map"},
      {R"("abc")", "string \"abc\""},
      {R"("")", "string \"\""},
      {R"("q\"b\\s\/")", R"(string "q\"b\\s/")"},
      {R"("\b\t\n\f\r\u0001\u001f")", R"(string "\b\t\n\f\r\u0001\u001f")"},
      {"\"\\u007f\xc3\xa9\"", "string \"\x7f\xc3\xa9\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const json::ParseResult r = json::parse(c.text);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(json::describe(r.value(), r.value().root()), c.found);
  }
}

}  // namespace json_describe_test
}  // namespace kestrune
