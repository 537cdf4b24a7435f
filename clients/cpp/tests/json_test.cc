#include "kestrune/json.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune::json {
namespace {

TEST(Json, ReadsValuesAndKeepsIntegerForms) {
  std::string error;
  const auto v = parse(R"( {"a":[1,-2,3.5,1e2,18446744073709551615],"s":"x\"\u00e9\ud83d\ude00","n":null,"b":true} )", error);
  ASSERT_TRUE(v) << error;
  const Value* a = v->find("a");
  ASSERT_TRUE(a && a->items.size() == 5);
  EXPECT_EQ(a->items[0].unsigned_integer, 1u);
  EXPECT_EQ(a->items[1].signed_integer, -2);
  EXPECT_FALSE(a->items[1].unsigned_integer);
  EXPECT_DOUBLE_EQ(a->items[2].number, 3.5);
  EXPECT_FALSE(a->items[2].signed_integer);
  EXPECT_FALSE(a->items[3].unsigned_integer) << "an exponent is no integer form";
  EXPECT_EQ(a->items[4].unsigned_integer, 18446744073709551615u);
  EXPECT_FALSE(a->items[4].signed_integer);
  EXPECT_EQ(v->find("s")->string, "x\"\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(v->find("n")->kind, Value::Kind::null);
  EXPECT_TRUE(v->find("b")->boolean);
}

TEST(Json, RefusesMalformedText) {
  const char* bad[] = {
      "", "{", "{\"a\":}", "[1,]", "{\"a\" 1}", "01", "1.", "-", "1e", "tru", "\"abc",
      "\"a\nb\"", "\"\\x\"", "\"\\ud800\"", "\"\\udc00\"", "{} x", "[1] [2]", "nul",
  };
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(parse(text, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(Json, BoundsNesting) {
  std::string error;
  const std::string ok = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
  EXPECT_TRUE(parse(ok, error)) << error;
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(parse(deep, error));
  EXPECT_NE(error.find("nesting"), std::string::npos) << error;
}

TEST(Json, WritesStringsAndNumbersThatReadBack) {
  EXPECT_EQ(quote("a\"b\\c\n\t\x01\xC3\xA9"), "\"a\\\"b\\\\c\\n\\t\\u0001\xC3\xA9\"");
  EXPECT_EQ(number(0.1), "0.1");
  EXPECT_EQ(number(45.0), "45");
  EXPECT_EQ(number(1.0 / 0.0), "null");
  for (double x : {0.1, 1.0 / 3.0, 1e300, -2.5e-7}) {
    std::string error;
    const auto v = parse(number(x), error);
    ASSERT_TRUE(v) << error;
    EXPECT_EQ(v->number, x);
  }
}

}  // namespace
}  // namespace kestrune::json
