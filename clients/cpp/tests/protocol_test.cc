#include "kestrune/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

TEST(Encode, WritesEachCommandAsTheHelperReadsIt) {
  StartCommand full;
  full.nonce = "n\"1";
  full.parent_pid = 4242;
  full.max_run_s = 60;
  full.hb_timeout_ms = 2000;
  full.cpu = true;
  full.workers = 2;
  full.gpu = true;
  full.adapter_hint = "Intel";
  const struct {
    Command command;
    const char* line;
  } cases[] = {
      {StartCommand{}, R"({"cmd":"start","v":1,"nonce":"","parentPid":0,"cpu":{"enable":false},"gpu":{"enable":false}})"},
      {full, R"({"cmd":"start","v":1,"nonce":"n\"1","parentPid":4242,"maxRunS":60,"hbTimeoutMs":2000,"cpu":{"enable":true,"workers":2},"gpu":{"enable":true,"adapterHint":"Intel"}})"},
      {SetCommand{7, DomainSetting{Mode::target, 45.0, 60.5}, {}}, R"({"cmd":"set","seq":7,"cpu":{"mode":"target","targetW":45,"capW":60.5}})"},
      {SetCommand{8, {}, DomainSetting{Mode::free, {}, {}}}, R"({"cmd":"set","seq":8,"gpu":{"mode":"free"}})"},
      {PowerCommand{12.25, {}, 99}, R"({"cmd":"power","cpuW":12.25,"atMs":99})"},
      {PowerCommand{{}, 0.1, {}}, R"({"cmd":"power","gpuW":0.1})"},
      {HeartbeatCommand{}, R"({"cmd":"hb"})"},
      {StopCommand{}, R"({"cmd":"stop"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode(c.command), c.line);
}

TEST(ParseEvent, ReadsTheHelpersLines) {
  std::string error;
  auto hello = parse_event(
      R"({"ev":"hello","v":1,"nonce":"e2e","pid":4321,"isa":"avx2fma","isaMax":"avx512","workers":8,)"
      R"("gpu":{"ok":true,"name":"GPU \u00e9","vendorId":4318,"dispatchMs":4.5,"err":null},"elevated":false,"inJob":true,"lab":false})"
      "\n",
      error);
  ASSERT_TRUE(hello) << error;
  const Hello& h = std::get<Hello>(*hello);
  EXPECT_EQ(h.pid, 4321u);
  EXPECT_EQ(h.isa_max, "avx512");
  EXPECT_EQ(h.workers, 8u);
  EXPECT_EQ(h.gpu.name, "GPU \xC3\xA9");
  EXPECT_EQ(h.gpu.vendor_id, 4318u);
  EXPECT_EQ(h.gpu.dispatch_ms, 4.5);
  EXPECT_FALSE(h.gpu.err);
  EXPECT_TRUE(h.in_job);

  auto status = parse_event(
      R"({"ev":"status","tMs":1500,"cpu":{"mode":"target","duty":0.25,"targetW":40.0,"powerStale":false},)"
      R"("gpu":{"mode":"off","duty":0.0,"targetW":null,"dispatchMs":null,"powerStale":true}})",
      error);
  ASSERT_TRUE(status) << error;
  const Status& s = std::get<Status>(*status);
  EXPECT_EQ(s.t_ms, 1500u);
  EXPECT_EQ(s.cpu.mode, Mode::target);
  EXPECT_EQ(s.cpu.duty, 0.25);
  EXPECT_EQ(s.cpu.target_w, 40.0);
  EXPECT_FALSE(s.gpu.target_w);
  EXPECT_TRUE(s.gpu.power_stale);

  auto bye = parse_event(R"({"ev":"bye","why":"hbTimeout","code":3,"cpuS":12.3,"gpuS":0.0})", error);
  ASSERT_TRUE(bye) << error;
  EXPECT_EQ(std::get<Bye>(*bye).why, "hbTimeout");
  EXPECT_EQ(std::get<Bye>(*bye).code, 3);
  EXPECT_EQ(std::get<Bye>(*bye).cpu_s, 12.3);

  auto ack = parse_event(R"({"ev":"ack","seq":18446744073709551615})", error);
  ASSERT_TRUE(ack) << error;
  EXPECT_EQ(std::get<Ack>(*ack).seq, 18446744073709551615u);

  auto err = parse_event(R"({"ev":"error","code":"cpuWorker","detail":null})", error);
  ASSERT_TRUE(err) << error;
  EXPECT_EQ(std::get<Error>(*err).code, "cpuWorker");
  EXPECT_FALSE(std::get<Error>(*err).detail);

  // Keys a later helper might add are skipped.
  EXPECT_TRUE(parse_event(R"({"ev":"ack","seq":1,"extra":[1,{"x":2}]})", error)) << error;
}

TEST(ParseEvent, RefusesLinesThatAreNoEvent) {
  const struct {
    const char* line;
    const char* reason;
  } cases[] = {
      {"", "not JSON"},
      {"{\"ev\":\"ack\",\"seq\":1", "not JSON"},
      {"[\"ack\",1]", "not a JSON object"},
      {R"({"seq":1})", "`ev` missing"},
      {R"({"ev":"nope"})", "unknown event"},
      {R"({"ev":"ack"})", "`seq` missing"},
      {R"({"ev":"ack","seq":-1})", "`seq` out of range"},
      {R"({"ev":"ack","seq":1.5})", "`seq` out of range"},
      {R"({"ev":"hello","v":1,"nonce":"","pid":4294967296,"isa":"sse2","isaMax":"sse2","workers":1,"gpu":{"ok":false},"elevated":false,"inJob":true,"lab":false})", "`pid` out of range"},
      {R"({"ev":"bye","why":"stop","code":"0","cpuS":0,"gpuS":0})", "`code` not a number"},
      {R"({"ev":"status","tMs":1,"cpu":{"mode":"off","duty":0,"powerStale":false},"gpu":null})", "`gpu` not an object"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_event(c.line, error)) << c.line;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.line << " -> " << error;
  }
}

// What strict parsing refuses beyond unknown and absent keys; lenient parsing reads the
// same lines (the first of a repeated key, a negative code, an unknown mode as text).
TEST(ParseEvent, StrictRefusesRepeatedKeysNegativeCodesAndUnknownModes) {
  const std::string gpu_off = R"("gpu":{"mode":"off","duty":0,"targetW":null,"dispatchMs":null,"powerStale":false})";
  const struct {
    std::string line;
    const char* reason;
  } cases[] = {
      {R"({"ev":"ack","seq":7,"seq":8})", "`seq` given twice"},
      {R"({"ev":"ack","ev":"ack","seq":7})", "`ev` given twice"},
      {R"({"ev":"bye","why":"stop","code":-1,"cpuS":0,"gpuS":0})", "`code` negative"},
      {R"({"ev":"status","tMs":1,"cpu":{"mode":"off","duty":0,"duty":1,"targetW":null,"powerStale":false},)" + gpu_off + "}",
       "`cpu.duty` given twice"},
      {R"({"ev":"status","tMs":1,"cpu":{"mode":"fast","duty":0,"targetW":null,"powerStale":false},)" + gpu_off + "}",
       "`cpu.mode` not a mode"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_event(c.line, error, Parsing::strict)) << c.line;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.line << " -> " << error;
    EXPECT_TRUE(parse_event(c.line, error)) << c.line << " -> " << error;
  }
  std::string error;
  EXPECT_EQ(std::get<Ack>(*parse_event(cases[0].line, error)).seq, 7u) << "the first one counts";
  const auto status = parse_event(cases[4].line, error);
  ASSERT_TRUE(status) << error;
  EXPECT_EQ(std::get<Status>(*status).cpu.mode, Mode::other);
  EXPECT_EQ(std::get<Status>(*status).cpu.other_mode, "fast");
}

}  // namespace
}  // namespace kestrune
