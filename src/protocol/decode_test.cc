#include "protocol/decode.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/encode.h"
#include "protocol/json_describe.h"
#include "protocol/json_parse.h"
#include "protocol/json_real.h"

#ifdef KL_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif

namespace kestrune {
namespace decode_test {

using json::Kind;
using json::Node;

std::vector<const Node*> children(const json::Document& doc, const Node& v) {
  std::vector<const Node*> out;
  for (const Node* c = doc.first_child(v); c != nullptr; c = doc.next_sibling(*c)) {
    out.push_back(c);
  }
  return out;
}

std::string nested(int depth, std::string_view inner = "") {
  return std::string(static_cast<size_t>(depth), '[') + std::string(inner) +
         std::string(static_cast<size_t>(depth), ']');
}

// ---------------------------------------------------------------------------------------
// Real formatting

TEST(FormatFiniteReal, Layout) {
  const struct {
    double x;
    const char* text;
  } cases[] = {
      {1.0, "1.0"},
      {0.5, "0.5"},
      {120.0, "120.0"},
      {45.0, "45.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {-2.5, "-2.5"},
      {12345678.9, "12345678.9"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"},
      {1.5e17, "1.5e17"},
      {-1.5e300, "-1.5e300"},
      {1e-5, "0.00001"},
      {1.25e-5, "0.0000125"},
      {9.9e-6, "9.9e-6"},
      {2.5e-7, "2.5e-7"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(json::format_finite_real(c.x), c.text);
  }
}

TEST(FormatFiniteReal, ReadsBackAsTheSameDouble) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    const std::string text = json::format_finite_real(x);
    double back = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(r.ec, std::errc()) << text;
    ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &x, sizeof x), 0) << text;
    // Always JSON real syntax: a point or an exponent.
    ASSERT_NE(text.find_first_of(".e"), std::string::npos) << text;
  }
}

TEST(FormatFiniteReal, MatchesTheEventEncoder) {
  // Messages show reals exactly as events write them.
  std::mt19937_64 rng(99);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (i % 2) x = static_cast<double>(bits % 100000000) / 1000.0;  // everyday magnitudes
    if (!std::isfinite(x)) continue;
    ASSERT_EQ(json::format_finite_real(x), real_to_json(x));
  }
}

// ---------------------------------------------------------------------------------------
// JSON parser

TEST(JsonParse, NumbersKeepIntegersApartFromReals) {
  const struct {
    const char* text;
    Kind kind;
    bool negative;
    bool big;
    uint64_t magnitude;
    double real;
  } cases[] = {
      {"0", Kind::Integer, false, false, 0, 0.0},
      {"-0", Kind::Integer, true, false, 0, -0.0},
      {"42", Kind::Integer, false, false, 42, 42.0},
      {"-1", Kind::Integer, true, false, 1, -1.0},
      {"18446744073709551615", Kind::Integer, false, false, UINT64_MAX, 18446744073709551615.0},
      {"-9223372036854775809", Kind::Integer, true, false, 9223372036854775809ULL,
       -9223372036854775809.0},
      {"18446744073709551616", Kind::Integer, false, true, 0, 18446744073709551616.0},
      {"-123456789012345678901234567890", Kind::Integer, true, true, 0,
       -123456789012345678901234567890.0},
      {"9007199254740993", Kind::Integer, false, false, 9007199254740993ULL, 9007199254740992.0},
      {"1.0", Kind::Real, false, false, 0, 1.0},
      {"-0.0", Kind::Real, true, false, 0, -0.0},
      {"1e2", Kind::Real, false, false, 0, 100.0},
      {"1E+2", Kind::Real, false, false, 0, 100.0},
      {"25e-1", Kind::Real, false, false, 0, 2.5},
      {"0.1", Kind::Real, false, false, 0, 0.1},
      {"2.2250738585072011e-308", Kind::Real, false, false, 0, 2.2250738585072011e-308},
      {"1.7976931348623157e308", Kind::Real, false, false, 0, 1.7976931348623157e308},
      {"4.9e-324", Kind::Real, false, false, 0, 4.9e-324},
      // Too small for a double: rounds to zero, keeping the sign.
      {"1e-400", Kind::Real, false, false, 0, 0.0},
      {"-1e-400", Kind::Real, true, false, 0, -0.0},
      {"0e999999999999999999999", Kind::Real, false, false, 0, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const json::ParseResult r = json::parse(c.text);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const Node& v = r.value().root();
    EXPECT_EQ(v.kind, c.kind);
    EXPECT_EQ(v.negative, c.negative);
    EXPECT_EQ(v.big, c.big);
    if (c.kind == Kind::Integer && !c.big) {
      EXPECT_EQ(v.magnitude, c.magnitude);
    }
    EXPECT_EQ(std::memcmp(&v.real, &c.real, sizeof(double)), 0) << v.real;
    EXPECT_EQ(r.value().text(v), c.text);
    EXPECT_EQ(v.end, std::strlen(c.text) - 1);
  }
}

TEST(JsonParse, StringsDecodeEveryEscape) {
  const struct {
    const char* text;
    std::string decoded;
  } cases[] = {
      {R"("")", ""},
      {R"("plain")", "plain"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u00E9")", "A\xc3\xa9\xc3\xa9"},
      {R"("\u20ac")", "\xe2\x82\xac"},
      {R"("\ud834\udd1e")", "\xf0\x9d\x84\x9e"},  // U+1D11E from a surrogate pair
      {R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},  // U+10FFFF
      {R"("a\u0000b")", std::string("a\0b", 3)},
      {"\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\"", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const json::ParseResult r = json::parse(c.text);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r.value().root().kind, Kind::String);
    EXPECT_EQ(r.value().text(r.value().root()), c.decoded);
  }
}

TEST(JsonParse, ObjectsKeepOrderDuplicatesAndPositions) {
  const std::string text = R"( {"b":1, "a":[true,null,"x"],"b":{}} )";
  const json::ParseResult r = json::parse(text);
  ASSERT_TRUE(r.ok()) << r.error().message;
  const json::Document& doc = r.value();
  const Node& v = doc.root();
  ASSERT_EQ(v.kind, Kind::Object);
  const auto members = children(doc, v);
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(v.count, 3u);
  EXPECT_EQ(doc.key(*members[0]), "b");
  EXPECT_EQ(doc.key(*members[1]), "a");
  EXPECT_EQ(doc.key(*members[2]), "b");
  EXPECT_EQ(members[0]->magnitude, 1u);
  EXPECT_EQ(members[2]->kind, Kind::Object);
  EXPECT_EQ(doc.first_child(*members[2]), nullptr);
  const Node& arr = *members[1];
  const auto items = children(doc, arr);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0]->kind, Kind::Bool);
  EXPECT_TRUE(items[0]->boolean);
  EXPECT_EQ(items[1]->kind, Kind::Null);
  EXPECT_EQ(doc.text(*items[2]), "x");
  // Offsets of last bytes: what position suffixes are built from.
  EXPECT_EQ(members[0]->key_end, text.find("\"b\"") + 2);
  EXPECT_EQ(items[0]->end, text.find("true") + 3);
  EXPECT_EQ(items[1]->end, text.find("null") + 3);
  EXPECT_EQ(items[2]->end, text.find("\"x\"") + 2);
  EXPECT_EQ(arr.end, text.find(']'));
  EXPECT_EQ(v.end, text.rfind('}'));
}

TEST(JsonParse, RejectsWithMessageAndOffset) {
  const struct {
    std::string text;
    const char* message;
    size_t offset;
  } cases[] = {
      {"", "unexpected end of input, expected a value", 0},
      {"  ", "unexpected end of input, expected a value", 2},
      {"\xef\xbb\xbf{}", "expected a value", 0},  // a byte-order mark is not JSON
      {"{} x", "trailing characters", 3},
      {"1 2", "trailing characters", 2},
      {"{}}", "trailing characters", 2},
      {"\v1", "expected a value", 0},  // only space, tab, CR and LF are whitespace
      {"1\f", "trailing characters", 1},
      {"{", "unexpected end of input in an object", 1},
      {R"({"a")", "unexpected end of input in an object", 4},
      {R"({"a":)", "unexpected end of input, expected a value", 5},
      {R"({"a":1)", "unexpected end of input in an object", 6},
      {R"({"a":1,)", "unexpected end of input in an object", 7},
      {"[", "unexpected end of input in an array", 1},
      {"[1", "unexpected end of input in an array", 2},
      {R"(")", "unexpected end of input in a string", 1},
      {R"("\)", "unexpected end of input in a string", 2},
      {R"("\u12)", "unexpected end of input in a string", 5},
      {"\"\xc3", "unexpected end of input in a string", 2},
      {R"({a:1})", "expected a string key", 1},
      {R"({'a':1})", "expected a string key", 1},
      {R"({"a" 1})", "expected `:`", 5},
      {R"({"a":1 "b":2})", "expected `,` or `}`", 7},
      {R"({"a":1,})", "trailing comma", 7},
      {"[1,]", "trailing comma", 3},
      {"[,1]", "expected a value", 1},
      {"[1 2]", "expected `,` or `]`", 3},
      {"[1;2]", "expected `,` or `]`", 2},
      {"{\"a\":1}/**/", "trailing characters", 7},
      {"tru", "invalid literal", 3},
      {"trUe", "invalid literal", 2},
      {"nul", "invalid literal", 3},
      {"NaN", "expected a value", 0},
      {"Infinity", "expected a value", 0},
      {"+1", "expected a value", 0},
      {".5", "expected a value", 0},
      {"-", "invalid number", 1},
      {"-a", "invalid number", 1},
      {"01", "invalid number", 1},
      {"-01", "invalid number", 2},
      {"1.", "invalid number", 2},
      {"1.e5", "invalid number", 2},
      {"1e", "invalid number", 2},
      {"1e+", "invalid number", 3},
      {"0x10", "trailing characters", 1},
      {"1e400", "number out of range", 0},
      {"[-1.8e308]", "number out of range", 1},
      {std::string(400, '9'), "number out of range", 0},
      {"\"a\tb\"", "control character in string", 2},
      {std::string("\"a\0b\"", 5), "control character in string", 2},
      {R"("\x")", "invalid escape", 2},
      {R"("\U0041")", "invalid escape", 2},
      {R"("\u00g0")", "invalid unicode escape", 5},
      {R"("\udc00")", "unpaired surrogate in unicode escape", 6},
      {R"("\ud800")", "unpaired surrogate in unicode escape", 7},
      {R"("\ud800x")", "unpaired surrogate in unicode escape", 7},
      {R"("\ud800\n")", "unpaired surrogate in unicode escape", 7},
      {R"("\ud800\u0041")", "unpaired surrogate in unicode escape", 12},
      {R"("\ud800\ud800")", "unpaired surrogate in unicode escape", 12},
      {"\"\xff\"", "invalid UTF-8 in string", 1},
      {"\"\x80\"", "invalid UTF-8 in string", 1},
      {"\"\xc0\xaf\"", "invalid UTF-8 in string", 1},          // overlong
      {"\"\xc3\"", "invalid UTF-8 in string", 2},              // truncated
      {"\"\xe0\x80\x80\"", "invalid UTF-8 in string", 2},      // overlong
      {"\"\xed\xa0\x80\"", "invalid UTF-8 in string", 2},      // encoded surrogate
      {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 in string", 2},  // above U+10FFFF
      {"\"\xf0\x9f\x98\"", "invalid UTF-8 in string", 4},
      {"\xc3\xa9", "expected a value", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const json::ParseResult r = json::parse(c.text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_EQ(r.error().offset, c.offset);
  }
}

TEST(JsonParse, NestingLimitCountsTheOutermostLevel) {
  EXPECT_TRUE(json::parse(nested(127)).ok());
  EXPECT_TRUE(json::parse("{\"a\":" + nested(126) + "}").ok());

  const json::ParseResult arrays = json::parse(nested(128));
  ASSERT_FALSE(arrays.ok());
  EXPECT_EQ(arrays.error().message, "recursion limit exceeded");
  EXPECT_EQ(arrays.error().offset, 127u);  // the 128th bracket

  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  objects += "1" + std::string(128, '}');
  const json::ParseResult r = json::parse(objects);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "recursion limit exceeded");
  EXPECT_EQ(r.error().offset, 127u * 5);
}

TEST(JsonParse, HostileShapesStayBounded) {
  // Far deeper than the limit, and long flat containers: fails or succeeds without
  // touching the stack beyond the limit's depth.
  EXPECT_FALSE(json::parse(std::string(1 << 20, '[')).ok());
  EXPECT_FALSE(json::parse(std::string(1 << 20, '{')).ok());
  std::string flat = "[";
  for (int i = 0; i < 8000; ++i) flat += "0,";
  flat += "0]";
  const json::ParseResult r = json::parse(flat);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().root().count, 8001u);
  EXPECT_EQ(r.value().nodes.size(), 8002u);
}

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

// ---------------------------------------------------------------------------------------
// Command decoding

// Builders for expected commands (designated initializers trip GCC's
// missing-field-initializers warning on the defaulted members).
template <class T, class Fill>
T make(Fill fill) {
  T t;
  fill(t);
  return t;
}

DomainSet domain(DomainMode mode, std::optional<double> target_w = {},
                 std::optional<double> cap_w = {}) {
  return make<DomainSet>([&](DomainSet& d) {
    d.mode = mode;
    d.target_w = target_w;
    d.cap_w = cap_w;
  });
}

SetCmd set(uint64_t seq, std::optional<DomainSet> cpu = {}, std::optional<DomainSet> gpu = {}) {
  return make<SetCmd>([&](SetCmd& c) {
    c.seq = seq;
    c.cpu = cpu;
    c.gpu = gpu;
  });
}

PowerCmd power(std::optional<double> cpu_w, std::optional<double> gpu_w = {},
               std::optional<uint64_t> at_ms = {}) {
  return make<PowerCmd>([&](PowerCmd& c) {
    c.cpu_w = cpu_w;
    c.gpu_w = gpu_w;
    c.at_ms = at_ms;
  });
}

StopCmd stop(std::optional<std::string> why) {
  return make<StopCmd>([&](StopCmd& c) { c.why = std::move(why); });
}

struct Decoded {
  const char* text;
  Command command;
};

void expect_decodes(const std::vector<Decoded>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const DecodeResult r = decode_command(c.text);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->index(), c.command.index());
    EXPECT_TRUE(r.value() == c.command);
  }
}

struct Rejected {
  std::string text;
  const char* message;
};

void expect_rejects(const std::vector<Rejected>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const DecodeResult r = decode_command(c.text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), c.message);
  }
}

TEST(DecodeCommand, Heartbeat) {
  expect_decodes({
      {R"({"cmd":"hb"})", HbCmd{}},
      {R"({"cmd":"hb","x":[1,{"y":null}]})", HbCmd{}},
      {R"(["hb"])", HbCmd{}},
      // Whatever comes with a heartbeat is ignored, well-typed or not, in either form.
      {R"({"seq":"x","cmd":"hb","v":-1,"cpu":null})", HbCmd{}},
      {R"(["hb",1,2,3,{"mode":5}])", HbCmd{}},
      {" \t{ \"cmd\" : \"hb\" }\r\n ", HbCmd{}},
      {R"({"Cmd":"start","cmd":"hb"})", HbCmd{}},
  });
}

TEST(DecodeCommand, Start) {
  expect_decodes({
      {R"({"v":1,"cmd":"start"})", make<StartCmd>([](StartCmd& c) { c.v = 1; })},
      {R"({"cmd":"start"})", StartCmd{}},
      {R"({"cmd":"start","v":1,"nonce":"n\u00e9","parentPid":4294967295,"maxRunS":60,)"
       R"("hbTimeoutMs":18446744073709551615,"cpu":{"enable":true,"workers":4},)"
       R"("gpu":{"enable":true,"adapterHint":"Arc"}})",
       make<StartCmd>([](StartCmd& c) {
         c.v = 1;
         c.nonce = "n\xc3\xa9";
         c.parent_pid = 4294967295u;
         c.max_run_s = 60;
         c.hb_timeout_ms = UINT64_MAX;
         c.cpu.enable = true;
         c.cpu.workers = 4;
         c.gpu.enable = true;
         c.gpu.adapter_hint = "Arc";
       })},
      {R"({"cmd":"start","cpu":{"workers":null},"gpu":{"adapterHint":null}})", StartCmd{}},
      {R"({"cmd":"start","cpu":{"enable":true,"extra":[{}]}})",
       make<StartCmd>([](StartCmd& c) { c.cpu.enable = true; })},
      {R"({"cmd":"start","v":-0,"nonce":"\ud83d\ude00"})",
       make<StartCmd>([](StartCmd& c) { c.nonce = "\xf0\x9f\x98\x80"; })},
      {R"({"cmd":"start","x":{"a":[1,2,{"b":"c"}]},"cmd2":1,"v":1})", make<StartCmd>([](StartCmd& c) { c.v = 1; })},
      // Array form: fields by position, missing trailing ones defaulted, nested records too.
      {R"(["start",1,"n",7,60,500,[true,3],{"enable":true}])",
       make<StartCmd>([](StartCmd& c) {
         c.v = 1;
         c.nonce = "n";
         c.parent_pid = 7;
         c.max_run_s = 60;
         c.hb_timeout_ms = 500;
         c.cpu.enable = true;
         c.cpu.workers = 3;
         c.gpu.enable = true;
       })},
      {R"(["start",1])", make<StartCmd>([](StartCmd& c) { c.v = 1; })},
      {R"(["start"])", StartCmd{}},
      {R"(["start",0,"",0,780,1500,[],[false,null]])", StartCmd{}},
  });
}

TEST(DecodeCommand, SetPowerStop) {
  expect_decodes({
      {R"({"cmd":"set","seq":7,"cpu":{"mode":"target","targetW":45.0}})",
       set(7, domain(DomainMode::Target, 45.0))},
      {R"({"cmd":"set","seq":1,"cpu":null})", set(1)},
      {R"({"cmd":"set","seq":0,"gpu":{"mode":"off","x":1}})",
       set(0, {}, domain(DomainMode::Off))},
      {R"({"cmd":"set","seq":18446744073709551615,"cpu":{"mode":{"free":null}},)"
       R"("gpu":{"capW":200.5,"mode":"target","targetW":150}})",
       set(UINT64_MAX, domain(DomainMode::Free), domain(DomainMode::Target, 150.0, 200.5))},
      {R"({"cmd":"set","seq":2,"cpu":{"mode":"free","targetW":null,"capW":null}})",
       set(2, domain(DomainMode::Free))},
      {R"(["set",3,["target",100,120],null])",
       set(3, domain(DomainMode::Target, 100.0, 120.0))},
      {R"(["set",4,null,[{"off":null}]])",
       set(4, {}, domain(DomainMode::Off))},
      {R"({"cmd":"power","cpuW":45})", power(45.0)},
      {R"({"cmd":"power","cpuW":12.5,"gpuW":null,"atMs":99})",
       power(12.5, {}, 99)},
      {R"({"cmd":"power","gpuW":-0.0,"cpuW":1e-400,"atMs":18446744073709551615})",
       power(0.0, -0.0, UINT64_MAX)},
      {R"({"cmd":"power","cpuW":123456789012345678901234567890})",
       power(123456789012345678901234567890.0)},
      {R"({"cmd":"power"})", PowerCmd{}},
      {R"(["power",null,80.25])", power({}, 80.25)},
      {R"({"cmd":"stop"})", StopCmd{}},
      {R"({"cmd":"stop","why":"done"})", stop("done")},
      {R"({"cmd":"stop","why":null})", StopCmd{}},
      {R"(["stop","bye"])", stop("bye")},
  });
}

TEST(DecodeCommand, FieldTypeRules) {
  expect_rejects({
      // u32
      {R"({"cmd":"start","v":1.0})", "invalid type: floating point `1.0`, expected u32"},
      {R"({"cmd":"start","v":1e0})", "invalid type: floating point `1.0`, expected u32"},
      {R"({"cmd":"start","parentPid":-1})", "invalid value: integer `-1`, expected u32"},
      {R"({"cmd":"start","v":4294967296})", "invalid value: integer `4294967296`, expected u32"},
      {R"({"cmd":"start","v":99999999999999999999})",
       "invalid value: integer `99999999999999999999`, expected u32"},
      {R"({"cmd":"start","v":null})", "invalid type: unit value, expected u32"},
      {R"({"cmd":"start","v":"1"})", "invalid type: string \"1\", expected u32"},
      {R"({"cmd":"start","v":true})", "invalid type: boolean `true`, expected u32"},
      {R"({"cmd":"start","v":[1]})", "invalid type: sequence, expected u32"},
      {R"({"cmd":"start","cpu":{"workers":-0.0}})",
       "invalid type: floating point `-0.0`, expected u32"},
      {R"({"cmd":"start","cpu":{"workers":1e16}})",
       "invalid type: floating point `1e16`, expected u32"},
      // u64
      {R"({"cmd":"start","maxRunS":-5})", "invalid value: integer `-5`, expected u64"},
      {R"({"cmd":"start","maxRunS":-99999999999999999999})",
       "invalid value: integer `-99999999999999999999`, expected u64"},
      {R"({"cmd":"start","hbTimeoutMs":18446744073709551616})",
       "invalid value: integer `18446744073709551616`, expected u64"},
      {R"({"cmd":"start","maxRunS":2.5})", "invalid type: floating point `2.5`, expected u64"},
      {R"({"cmd":"power","atMs":0.00000025})",
       "invalid type: floating point `2.5e-7`, expected u64"},
      {R"({"cmd":"start","maxRunS":false})", "invalid type: boolean `false`, expected u64"},
      {R"({"cmd":"set","seq":"1"})", "invalid type: string \"1\", expected u64"},
      // f64
      {R"({"cmd":"power","cpuW":"45"})", "invalid type: string \"45\", expected f64"},
      {R"({"cmd":"power","cpuW":[45]})", "invalid type: sequence, expected f64"},
      {R"({"cmd":"power","gpuW":{}})", "invalid type: map, expected f64"},
      {R"({"cmd":"power","gpuW":true})", "invalid type: boolean `true`, expected f64"},
      // bool and string
      {R"({"cmd":"start","cpu":{"enable":1}})", "invalid type: integer `1`, expected a boolean"},
      {R"({"cmd":"start","gpu":{"enable":"true"}})",
       "invalid type: string \"true\", expected a boolean"},
      {R"({"cmd":"start","nonce":5})", "invalid type: integer `5`, expected a string"},
      {R"({"cmd":"start","nonce":null})", "invalid type: unit value, expected a string"},
      {R"({"cmd":"start","gpu":{"adapterHint":{}}})", "invalid type: map, expected a string"},
      {R"({"cmd":"stop","why":0.5})", "invalid type: floating point `0.5`, expected a string"},
      // The offending string is shown escaped, so the message stays one line.
      {"{\"cmd\":\"start\",\"v\":\"a\\\"b\\\\c\\u0001\\n\x7f \xc3\xa9\"}",
       "invalid type: string \"a\\\"b\\\\c\\u0001\\n\x7f \xc3\xa9\", expected u32"},
      // records
      {R"({"cmd":"start","cpu":null})", "invalid type: unit value, expected struct CpuStart"},
      {R"({"cmd":"start","gpu":"yes"})", "invalid type: string \"yes\", expected struct GpuStart"},
      {R"({"cmd":"set","seq":1,"cpu":"free"})",
       "invalid type: string \"free\", expected struct DomainSet"},
      {R"({"cmd":"set","seq":1,"gpu":7})", "invalid type: integer `7`, expected struct DomainSet"},
      // DomainMode
      {R"({"cmd":"set","seq":1,"cpu":{"mode":"Free"}})",
       "unknown variant `Free`, expected one of `off`, `free`, `target`"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":""}})",
       "unknown variant ``, expected one of `off`, `free`, `target`"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":5}})",
       "invalid type: integer `5`, expected string or map"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":null}})",
       "invalid type: unit value, expected string or map"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":["free"]}})",
       "invalid type: sequence, expected string or map"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":{}}})",
       "invalid value: map, expected map with a single key"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":{"free":null,"off":null}}})",
       "invalid value: map, expected map with a single key"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":{"fast":null}}})",
       "unknown variant `fast`, expected one of `off`, `free`, `target`"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":{"free":1}}})",
       "invalid type: integer `1`, expected unit value"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":{"free":{}}}})",
       "invalid type: map, expected unit value"},
  });
}

TEST(DecodeCommand, RecordRulesCarryNoPosition) {
  expect_rejects({
      {R"({"cmd":"set","cpu":{"mode":"free"}})", "missing field `seq`"},
      {R"({"cmd":"set"})", "missing field `seq`"},
      {R"({"cmd":"set","seq":null})", "invalid type: unit value, expected u64"},
      {R"({"cmd":"set","seq":1,"cpu":{"targetW":5}})", "missing field `mode`"},
      {R"({"cmd":"set","seq":1,"gpu":{}})", "missing field `mode`"},
      {R"({"cmd":"set","seq":1,"seq":2})", "duplicate field `seq`"},
      {R"({"cmd":"set","seq":1,"cpu":{"mode":"off","mode":"free"}})", "duplicate field `mode`"},
      // A null still counts as given once.
      {R"({"cmd":"power","cpuW":null,"cpuW":1})", "duplicate field `cpuW`"},
      {R"({"cmd":"start","cpu":{},"cpu":{}})", "duplicate field `cpu`"},
      {R"({"cmd":"stop","why":"a","why":"b"})", "duplicate field `why`"},
      // Members are read in order: the first failure wins, and a nested record's failure
      // is found before a missing key of its parent.
      {R"({"cmd":"set","seq":"a","seq":"b"})", "invalid type: string \"a\", expected u64"},
      {R"({"cmd":"set","seq":1,"seq":"b"})", "duplicate field `seq`"},
      {R"({"cmd":"set","cpu":{"mode":5}})", "invalid type: integer `5`, expected string or map"},
      {R"({"cpu":{"mode":"x"},"cmd":"set","seq":"y"})",
       "unknown variant `x`, expected one of `off`, `free`, `target`"},
  });
}

TEST(DecodeCommand, ArrayFormLengths) {
  expect_rejects({
      {R"(["set"])", "invalid length 0, expected struct SetCmd with 3 elements"},
      {R"(["set",1,[]])", "invalid length 0, expected struct DomainSet with 3 elements"},
      {R"(["set",1,null,null,null])", "invalid length 4, expected struct SetCmd with 3 elements"},
      {R"(["set",1,["free",1,2,3]])",
       "invalid length 4, expected struct DomainSet with 3 elements"},
      {R"(["stop","a","b"])", "invalid length 2, expected struct StopCmd with 1 element"},
      {R"(["power",1,2,3,4])", "invalid length 4, expected struct PowerCmd with 3 elements"},
      {R"(["start",1,"",0,780,1500,{},{},0])",
       "invalid length 8, expected struct StartCmd with 7 elements"},
      {R"(["start",1,"",0,780,1500,[true,1,2]])",
       "invalid length 3, expected struct CpuStart with 2 elements"},
      {R"(["start",1,"",0,780,1500,[],[true,"a",null]])",
       "invalid length 3, expected struct GpuStart with 2 elements"},
      // Elements are read before the surplus is counted; null is no default here either.
      {R"(["set","x",null,null,null])", "invalid type: string \"x\", expected u64"},
      {R"(["set",null])", "invalid type: unit value, expected u64"},
      {R"(["start",null])", "invalid type: unit value, expected u32"},
      {R"(["start",1,"",0,780,1500,null])", "invalid type: unit value, expected struct CpuStart"},
      {R"(["set",1,[5]])", "invalid type: integer `5`, expected string or map"},
  });
}

TEST(DecodeCommand, TextAndTagRulesCarryPosition) {
  expect_rejects({
      {"{}", "missing field `cmd` at line 1 column 2"},
      {" { } ", "missing field `cmd` at line 1 column 4"},
      {R"({"Cmd":"hb"})", "missing field `cmd` at line 1 column 12"},
      {"[]", "missing field `cmd` at line 1 column 2"},
      {R"({"cmd":"set","cmd":"set","seq":1})", "duplicate field `cmd` at line 1 column 18"},
      // Uniqueness of the tag is settled before its value is looked at.
      {R"({"cmd":5,"cmd":"hb"})", "duplicate field `cmd` at line 1 column 14"},
      {R"({"cmd":"Start"})",
       "unknown variant `Start`, expected one of `start`, `set`, `power`, `hb`, `stop` at line "
       "1 column 14"},
      {R"({"cmd":""})",
       "unknown variant ``, expected one of `start`, `set`, `power`, `hb`, `stop` at line 1 "
       "column 9"},
      {R"({"seq":1,"cmd":"hb "})",
       "unknown variant `hb `, expected one of `start`, `set`, `power`, `hb`, `stop` at line 1 "
       "column 20"},
      {R"(["nope",1])",
       "unknown variant `nope`, expected one of `start`, `set`, `power`, `hb`, `stop` at line 1 "
       "column 7"},
      {R"({"cmd":5})", "invalid type: integer `5`, expected variant identifier at line 1 column 8"},
      {R"({"cmd":null})", "invalid type: unit value, expected variant identifier at line 1 column 11"},
      {R"({"cmd":["hb"]})", "invalid type: sequence, expected variant identifier at line 1 column 13"},
      {R"({"cmd":{"hb":null}})", "invalid type: map, expected variant identifier at line 1 column 18"},
      {R"({"cmd":true})", "invalid type: boolean `true`, expected variant identifier at line 1 column 11"},
      {R"([5])", "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
      {R"([["hb"]])", "invalid type: sequence, expected variant identifier at line 1 column 7"},
      {"5", "invalid type: integer `5`, expected internally tagged enum Command at line 1 column 1"},
      {" 1.5 ",
       "invalid type: floating point `1.5`, expected internally tagged enum Command at line 1 "
       "column 4"},
      {"null", "invalid type: unit value, expected internally tagged enum Command at line 1 column 4"},
      {"false", "invalid type: boolean `false`, expected internally tagged enum Command at line 1 column 5"},
      {R"("hb")", "invalid type: string \"hb\", expected internally tagged enum Command at line 1 column 4"},
      // Syntax, nesting and trailing characters.
      {R"({"cmd":"hb"} x)", "trailing characters at line 1 column 14"},
      {R"({"cmd":"hb"}})", "trailing characters at line 1 column 13"},
      {"", "unexpected end of input, expected a value at line 1 column 1"},
      {"   ", "unexpected end of input, expected a value at line 1 column 4"},
      {"\xef\xbb\xbf{\"cmd\":\"hb\"}", "expected a value at line 1 column 1"},
      {R"({"cmd":"hb")", "unexpected end of input in an object at line 1 column 12"},
      {R"({"cmd":"hb",})", "trailing comma at line 1 column 13"},
      {R"({cmd:"hb"})", "expected a string key at line 1 column 2"},
      {R"({"cmd" "hb"})", "expected `:` at line 1 column 8"},
      {R"({"cmd":"hb","n":01})", "invalid number at line 1 column 18"},
      {R"({"cmd":"hb","n":1e400})", "number out of range at line 1 column 17"},
      {R"({"cmd":"hb","n":tru})", "invalid literal at line 1 column 20"},
      {R"({"cmd":"h\qb"})", "invalid escape at line 1 column 11"},
      {R"({"cmd":"\ud800"})", "unpaired surrogate in unicode escape at line 1 column 15"},
      {"{\"cmd\":\"h\xff\"}", "invalid UTF-8 in string at line 1 column 10"},
      {"{\"cmd\":\"h\tb\"}", "control character in string at line 1 column 10"},
      // A syntax error anywhere wins over every rule about the content.
      {R"({"cmd":"Start","x":[1,]})", "trailing comma at line 1 column 23"},
      {R"({"cmd":"set","seq":"x"} ])", "trailing characters at line 1 column 25"},
      // Should a line feed get in, the position still points at the right byte.
      {"{\n}", "missing field `cmd` at line 2 column 1"},
      {"{\"cmd\":\n\"hb\",\n\"x\":}", "expected a value at line 3 column 5"},
  });
}

TEST(DecodeCommand, NestingLimitInsideACommand) {
  // The outer object is level 1: 126 more levels are fine, 127 more are not.
  const std::string ok = R"({"cmd":"hb","x":)" + nested(126) + "}";
  expect_decodes({{ok.c_str(), HbCmd{}}});
  const std::string deep = R"({"cmd":"hb","x":)" + nested(127) + "}";
  expect_rejects({{deep, "recursion limit exceeded at line 1 column 143"}});
  // An array-form command counts the same way.
  expect_decodes({{(R"(["hb",)" + nested(126) + "]").c_str(), HbCmd{}}});
  expect_rejects({{R"(["hb",)" + nested(127) + "]", "recursion limit exceeded at line 1 column 133"}});
}

TEST(DecodeCommand, LongestLineDecodes) {
  // A full 16 KiB line: a nonce that fills it, then a big object of unknown keys.
  std::string text = R"({"cmd":"start","v":1,"nonce":")";
  const std::string tail = R"("})";
  text += std::string(16384 - text.size() - tail.size(), 'n') + tail;
  ASSERT_EQ(text.size(), 16384u);
  const DecodeResult r = decode_command(text);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(std::get<StartCmd>(r.value()).nonce.size(), 16384 - 32u);

  std::string many = R"({"cmd":"power")";
  for (int i = 0; many.size() < 16300; ++i) many += ",\"k" + std::to_string(i) + "\":[0]";
  many += R"(,"cpuW":3})";
  const DecodeResult m = decode_command(many);
  ASSERT_TRUE(m.ok()) << m.error();
  EXPECT_EQ(std::get<PowerCmd>(m.value()), power(3.0));
}

TEST(DomainModeText, WireNames) {
  EXPECT_STREQ(domain_mode_text(DomainMode::Off), "off");
  EXPECT_STREQ(domain_mode_text(DomainMode::Free), "free");
  EXPECT_STREQ(domain_mode_text(DomainMode::Target), "target");
}

// ---------------------------------------------------------------------------------------
// An independent parser as oracle: both must agree on what is JSON and on what it says.

#ifdef KL_HAVE_NLOHMANN

// Compares our value with the oracle's; objects member by member in order.
::testing::AssertionResult same_value(const json::Document& doc, const Node& ours,
                                      const nlohmann::ordered_json& theirs) {
  using ::testing::AssertionFailure;
  using ::testing::AssertionSuccess;
  switch (ours.kind) {
    case Kind::Null:
      if (theirs.is_null()) return AssertionSuccess();
      break;
    case Kind::Bool:
      if (theirs.is_boolean() && theirs.get<bool>() == ours.boolean) return AssertionSuccess();
      break;
    case Kind::Integer:
      if (theirs.is_number_unsigned() && !ours.negative && !ours.big &&
          theirs.get<uint64_t>() == ours.magnitude) {
        return AssertionSuccess();
      }
      if (theirs.is_number_integer() && !theirs.is_number_unsigned() && !ours.big) {
        const int64_t v = theirs.get<int64_t>();
        const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        if (mag == ours.magnitude && (v < 0) == (ours.negative && ours.magnitude != 0)) {
          return AssertionSuccess();
        }
      }
      // Beyond 64 bits the oracle keeps only a double.
      if (theirs.is_number_float() && theirs.get<double>() == ours.real) return AssertionSuccess();
      break;
    case Kind::Real:
      if (theirs.is_number_float()) {
        const double v = theirs.get<double>();
        if (std::memcmp(&v, &ours.real, sizeof v) == 0) return AssertionSuccess();
      }
      break;
    case Kind::String:
      if (theirs.is_string() && theirs.get<std::string>() == doc.text(ours)) {
        return AssertionSuccess();
      }
      break;
    case Kind::Array:
      if (theirs.is_array() && theirs.size() == ours.count) {
        const auto items = children(doc, ours);
        for (size_t i = 0; i < items.size(); ++i) {
          if (auto r = same_value(doc, *items[i], theirs[i]); !r) return r;
        }
        return AssertionSuccess();
      }
      break;
    case Kind::Object:
      if (theirs.is_object() && theirs.size() == ours.count) {
        const auto members = children(doc, ours);
        size_t i = 0;
        for (auto it = theirs.begin(); it != theirs.end(); ++it, ++i) {
          if (it.key() != doc.key(*members[i])) return AssertionFailure() << "key " << it.key();
          if (auto r = same_value(doc, *members[i], it.value()); !r) return r;
        }
        return AssertionSuccess();
      }
      break;
  }
  return AssertionFailure() << "ours " << json::describe(doc, ours) << " vs oracle "
                            << theirs.dump();
}

bool has_duplicate_keys(const json::Document& doc, const Node& v) {
  const auto kids = children(doc, v);
  for (size_t i = 0; i < kids.size(); ++i) {
    for (size_t j = 0; v.kind == Kind::Object && j < i; ++j) {
      if (doc.key(*kids[i]) == doc.key(*kids[j])) return true;
    }
    if (has_duplicate_keys(doc, *kids[i])) return true;
  }
  return false;
}

// The oracle has no nesting limit, skips a leading byte-order mark and takes a NUL byte
// for the end of the text; outside those documented differences we must agree on
// acceptance, and on values where both accept.
// Returns whether the text was accepted and compared.
bool check_against_oracle(const std::string& text) {
  if (text.rfind("\xef\xbb\xbf", 0) == 0) return false;
  if (text.find(std::string(100, '[')) != std::string::npos) return false;
  const json::ParseResult ours = json::parse(text);
  if (text.find('\0') != std::string::npos) {
    EXPECT_FALSE(ours.ok()) << "a raw NUL is never JSON: " << ::testing::PrintToString(text);
    return false;
  }
  const bool theirs = nlohmann::ordered_json::accept(text);
  EXPECT_EQ(ours.ok(), theirs) << "text: " << ::testing::PrintToString(text)
                             << (ours.ok() ? "" : " ours: " + ours.error().message);
  if (!ours.ok() || !theirs || has_duplicate_keys(ours.value(), ours.value().root())) {
    return false;
  }
  const auto value = nlohmann::ordered_json::parse(text);
  EXPECT_TRUE(same_value(ours.value(), ours.value().root(), value)) << "text: " << ::testing::PrintToString(text);
  return true;
}

const std::vector<std::string>& tricky_texts() {
  static const std::vector<std::string> texts = {
      "0", "-0", "-0.0", "0.0e0", "0E-0", "1e+2", "1E-2", "-1.5e-300", "01", "-01", "00",
      "1.", ".1", "-.1", "1.e1", "1e", "1e+", "+1", "- 1", "-", "0x1", "1_0", "NaN",
      "Infinity", "-Infinity", "1e309", "-1e309", "1e-400", "4.9e-324", "2.4e-324",
      "2.2250738585072011e-308", "1.7976931348623157e308", "1.7976931348623159e308",
      "18446744073709551615", "18446744073709551616", "-9223372036854775808",
      "-9223372036854775809", "123456789012345678901234567890.5e-10",
      std::string(308, '9'), std::string(309, '9'), "0." + std::string(400, '0') + "1",
      "true", "false", "null", "True", "nul", "truex", "[true false]", "\"\"",
      R"("\u0000")", R"("\u00")", R"("\uD834\uDD1E")", R"("\uD834")", R"("\uDD1E")",
      R"("\uD834\uD834")", R"("\uD834\u0041")", R"("\uDBFF\uDFFF")", R"("\/")", R"("\a")",
      R"("\')", "\"\t\"", "\"\x7f\"", "\"\xc3\xa9\"", "\"\xc3\"", "\"\xc0\x80\"",
      "\"\xed\xa0\x80\"", "\"\xed\x9f\xbf\"", "\"\xee\x80\x80\"", "\"\xf4\x8f\xbf\xbf\"",
      "\"\xf4\x90\x80\x80\"", "\"\xf8\x88\x80\x80\x80\"", "\"\xef\xbf\xbf\"", "\xc3\xa9",
      std::string("\"a\0\"", 4), std::string("[1]\0", 4), "", " ", "\t\r\n 1 \t\r\n", "\v1",
      "\f1", "1\f", "[]", "{}", "[[]]", "[{}]", "{\"a\":[]}", "[1,]", "[,]", "[,1]", "[1,,2]",
      "{,}", "{\"a\":1,}", "{\"a\"}", "{\"a\":}", "{\"a\" 1}", "{1:1}", "{\"a\":1 \"b\":2}",
      "{\"a\":1}}", "[1]]", "[[1]", "{\"a\":{\"b\":{\"c\":[1,2,{\"d\":null}]}}}",
      "{\"cmd\":\"hb\"} x", "{\"cmd\":\"hb\"}\n", "[\"hb\"]", "//\n1", "/*c*/1", "1 /*c*/",
      nested(99), nested(99, "1"), "{\"\":\"\"}", "{\"a\\u0000b\":1}",
  };
  return texts;
}

TEST(JsonOracle, AgreesOnTrickyTexts) {
  for (const auto& text : tricky_texts()) check_against_oracle(text);
}

TEST(JsonOracle, AgreesOnMutatedTexts) {
  std::vector<std::string> seeds = tricky_texts();
  seeds.insert(seeds.end(), {
      R"({"cmd":"start","v":1,"nonce":"n\u00e9\ud83d\ude00","parentPid":42,"cpu":{"enable":true,"workers":null}})",
      R"({"cmd":"set","seq":7,"cpu":{"mode":"target","targetW":45.0,"capW":1.5e2},"gpu":{"mode":{"free":null}}})",
      R"(["power",12.5,-0.0,18446744073709551615])",
      R"({"a":[1,-2,3.25e-3,true,false,null,"x\"y\\z\/\b\f\n\r\t"],"b":{"c":{}}})",
  });
  static constexpr char kAlphabet[] =
      "{}[]\":,\\/ \t\r\n0123456789-+.eEabcdfnrtuxDFE\x00\x01\x1f\x7f\x80\xbf\xc3\xa9\xed\xa0"
      "\xf0\xf4\xff";
  std::mt19937 rng(7);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  int accepted = 0;
  for (int round = 0; round < 30000; ++round) {
    std::string text = seeds[pick(seeds.size())];
    const size_t edits = 1 + pick(3);
    for (size_t e = 0; e < edits; ++e) {
      const char c = kAlphabet[pick(sizeof kAlphabet - 1)];
      const size_t at = text.empty() ? 0 : pick(text.size() + 1);
      switch (pick(4)) {
        case 0:
          if (at < text.size()) text[at] = c;
          break;
        case 1:
          text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
          break;
        case 2:
          if (at < text.size()) text.erase(at, 1 + pick(3));
          break;
        default:
          if (at < text.size()) text.insert(at, text.substr(at, 1 + pick(8)));
          break;
      }
    }
    if (check_against_oracle(text)) ++accepted;
    if (::testing::Test::HasFailure()) return;
  }
  // Mutations must leave a good share of valid texts, or values go unchecked.
  EXPECT_GT(accepted, 2000);
}

TEST(JsonOracle, AgreesOnRandomNumbers) {
  std::mt19937_64 rng(11);
  auto digits = [&](size_t n, bool leading_nonzero) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      const auto d = static_cast<char>('0' + rng() % 10);
      s.push_back(i == 0 && leading_nonzero && d == '0' ? '7' : d);
    }
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = rng() % 2 ? "-" : "";
    const size_t int_len = 1 + rng() % 25;
    text += int_len == 1 ? digits(1, false) : digits(int_len, true);
    if (rng() % 2) text += "." + digits(1 + rng() % 25, false);
    if (rng() % 2) {
      text += rng() % 2 ? "e" : "E";
      const int sign = static_cast<int>(rng() % 3);
      if (sign == 1) text += "+";
      if (sign == 2) text += "-";
      text += std::to_string(rng() % 340);
    }
    check_against_oracle(text);
    if (::testing::Test::HasFailure()) return;
  }
}

#endif  // KL_HAVE_NLOHMANN

}  // namespace decode_test
}  // namespace kestrune
