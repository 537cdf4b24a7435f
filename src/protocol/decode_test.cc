#include "protocol/decode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/json_parse.h"

namespace kestrune {
namespace decode_test {

std::string nested(int depth, std::string_view inner = "") {
  return std::string(static_cast<size_t>(depth), '[') + std::string(inner) +
         std::string(static_cast<size_t>(depth), ']');
}

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

}  // namespace decode_test
}  // namespace kestrune
