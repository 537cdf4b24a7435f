#include "protocol/encode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

namespace kestrune {
namespace encode_test {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The line, or none when the event could not be encoded.
std::optional<std::string> encoded(const Event& event) {
  Result<std::string> r = encode_event(event);
  if (!r.ok()) return std::nullopt;
  return std::move(r).value();
}

Hello hello_without_gpu() {
  Hello h;
  h.nonce = "n-1";
  h.pid = 4242;
  h.isa = "avx2fma";
  h.isa_max = "avx512";
  h.workers = 8;
  return h;
}

Status status_both(DomainMode gpu_mode) {
  Status s;
  s.t_ms = 1250;
  s.cpu = {DomainMode::Free, 1.0, std::nullopt, std::nullopt, false};
  s.gpu = {gpu_mode, 0.25, 150.0, std::nullopt, true};
  return s;
}

struct LineCase {
  const char* name;
  Event event;
  std::string expected;
};

TEST(EncodeEvent, WholeLines) {
  Hello with_gpu = hello_without_gpu();
  with_gpu.isa = "sse2";
  with_gpu.isa_max = "sse2";
  with_gpu.workers = 3;
  with_gpu.gpu = {true, "Gr\xC3\xA4phics \"X\"", 4318u, 12.5, std::nullopt};

  Hello gpu_failed = hello_without_gpu();
  gpu_failed.gpu.err = "gpuSlow";

  Status gpu_off = status_both(DomainMode::Off);
  gpu_off.gpu.duty = 0.0;
  gpu_off.gpu.target_w = std::nullopt;
  gpu_off.gpu.power_stale = false;

  Status gpu_target = status_both(DomainMode::Target);
  gpu_target.gpu.dispatch_ms = 3.4;
  gpu_target.cpu.dispatch_ms = 9.9;  // the CPU object has no such key
  gpu_target.cpu.target_w = 45.0;

  const LineCase cases[] = {
      {"ack", Ack{7}, R"({"ev":"ack","seq":7})"},
      {"ack max", Ack{UINT64_MAX}, R"({"ev":"ack","seq":18446744073709551615})"},
      {"badLine", Error{"badLine", "line is not UTF-8"},
       R"({"ev":"error","code":"badLine","detail":"line is not UTF-8"})"},
      {"fatal", Error{"fatal", std::nullopt}, R"({"ev":"error","code":"fatal","detail":null})"},
      {"device removed", Error{"gpuDeviceRemoved", "DXGI_ERROR_DEVICE_REMOVED (0x887A0005)"},
       R"j({"ev":"error","code":"gpuDeviceRemoved","detail":"DXGI_ERROR_DEVICE_REMOVED (0x887A0005)"})j"},
      {"bye stop", Bye{"stop", 0, 12.3, 0.0},
       R"({"ev":"bye","why":"stop","code":0,"cpuS":12.3,"gpuS":0.0})"},
      {"bye elevated", Bye{"elevated", 5, 0.0, 0.0},
       R"({"ev":"bye","why":"elevated","code":5,"cpuS":0.0,"gpuS":0.0})"},
      {"bye rounded total", Bye{"maxRun", 0, 1.3, 780.0},
       R"({"ev":"bye","why":"maxRun","code":0,"cpuS":1.3,"gpuS":780.0})"},
      {"hello without gpu", hello_without_gpu(),
       R"({"ev":"hello","v":1,"nonce":"n-1","pid":4242,"isa":"avx2fma","isaMax":"avx512",)"
       R"("workers":8,"gpu":{"ok":false,"name":null,"vendorId":null,"dispatchMs":null,"err":null},)"
       R"("elevated":false,"inJob":true,"lab":false})"},
      {"hello with gpu", with_gpu,
       "{\"ev\":\"hello\",\"v\":1,\"nonce\":\"n-1\",\"pid\":4242,\"isa\":\"sse2\",\"isaMax\":\"sse2\","
       "\"workers\":3,\"gpu\":{\"ok\":true,\"name\":\"Gr\xC3\xA4phics \\\"X\\\"\",\"vendorId\":4318,"
       "\"dispatchMs\":12.5,\"err\":null},\"elevated\":false,\"inJob\":true,\"lab\":false}"},
      {"hello gpu error", gpu_failed,
       R"({"ev":"hello","v":1,"nonce":"n-1","pid":4242,"isa":"avx2fma","isaMax":"avx512",)"
       R"("workers":8,"gpu":{"ok":false,"name":null,"vendorId":null,"dispatchMs":null,"err":"gpuSlow"},)"
       R"("elevated":false,"inJob":true,"lab":false})"},
      {"status gpu off", gpu_off,
       R"({"ev":"status","tMs":1250,"cpu":{"mode":"free","duty":1.0,"targetW":null,"powerStale":false},)"
       R"("gpu":{"mode":"off","duty":0.0,"targetW":null,"dispatchMs":null,"powerStale":false}})"},
      {"status gpu target", gpu_target,
       R"({"ev":"status","tMs":1250,"cpu":{"mode":"free","duty":1.0,"targetW":45.0,"powerStale":false},)"
       R"("gpu":{"mode":"target","duty":0.25,"targetW":150.0,"dispatchMs":3.4,"powerStale":true}})"},
  };
  for (const auto& c : cases) {
    const auto line = encoded(c.event);
    ASSERT_TRUE(line.has_value()) << c.name;
    EXPECT_EQ(*line, c.expected) << c.name;
  }
}

TEST(EncodeEvent, NonFiniteRealsAreNull) {
  EXPECT_EQ(encoded(Bye{"fatal", 9, kNaN, -kInf}),
            R"({"ev":"bye","why":"fatal","code":9,"cpuS":null,"gpuS":null})");
  Status s = status_both(DomainMode::Target);
  s.cpu.duty = kInf;
  s.gpu.target_w = kNaN;
  s.gpu.dispatch_ms = kInf;
  EXPECT_EQ(encoded(s),
            R"({"ev":"status","tMs":1250,"cpu":{"mode":"free","duty":null,"targetW":null,"powerStale":false},)"
            R"("gpu":{"mode":"target","duty":0.25,"targetW":null,"dispatchMs":null,"powerStale":true}})");
}

TEST(EncodeEvent, StringEscapes) {
  struct Case {
    std::string text;
    std::string json;
  };
  const Case cases[] = {
      {"a\"b\t\xC3\xBC", "\"a\\\"b\\t\xC3\xBC\""},  // quote, tab, a non-ASCII letter
      {"back\\slash/", "\"back\\\\slash/\""},
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {std::string("\x00\x01\x0b\x0e\x1a\x1f", 6), "\"\\u0000\\u0001\\u000b\\u000e\\u001a\\u001f\""},
      {"\x7f \x20~", "\"\x7f  ~\""},  // DEL and the printable edges go out raw
      {"\xF0\x9F\x98\x80\xE2\x82\xAC", "\"\xF0\x9F\x98\x80\xE2\x82\xAC\""},
      {"", "\"\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encoded(Error{"badLine", c.text}),
              "{\"ev\":\"error\",\"code\":\"badLine\",\"detail\":" + c.json + "}")
        << testing::PrintToString(c.text);
  }
}

// Invalid UTF-8 has no JSON string form; emit then sends its fixed fallback line.
TEST(EncodeEvent, InvalidUtf8AnywhereFails) {
  EXPECT_EQ(encoded(Error{"badLine", std::string("bad \xFF byte")}), std::nullopt);
  EXPECT_EQ(encoded(Error{"\xC0\x80", std::nullopt}), std::nullopt);
  Hello h = hello_without_gpu();
  h.nonce = "\xED\xA0\x80";  // a surrogate
  EXPECT_EQ(encoded(h), std::nullopt);
  h = hello_without_gpu();
  h.gpu.name = "card \xE2\x82";  // truncated, inside the nested object
  EXPECT_EQ(encoded(h), std::nullopt);
  EXPECT_EQ(encoded(Bye{"st\x80p", 0, 0.0, 0.0}), std::nullopt);
}

TEST(RealToJson, Layout) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.5, "0.5"},
      {120.0, "120.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {12.3, "12.3"},
      {-45.5, "-45.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {123456.789, "123456.789"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},  // largest double below 1e16
      {1e16, "1e16"},
      {-1e16, "-1e16"},
      {1.5e16, "1.5e16"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {1e-5, "0.00001"},
      {1.5e-5, "0.000015"},
      {0.000123, "0.000123"},
      {9.99e-6, "9.99e-6"},
      {2.5e-7, "2.5e-7"},
      {-2.5e-7, "-2.5e-7"},
      {1e-7, "1e-7"},
      {5e-324, "5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {1e100, "1e100"},
      {kInf, "null"},
      {-kInf, "null"},
      {kNaN, "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(real_to_json(c.value), c.text) << c.text;
}

// Every finite double reads back exactly and takes the layout its magnitude calls for.
TEST(RealToJson, RoundTripsRandomDoubles) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> binary_exp(-40, 60);  // around both layout limits
  for (int i = 0; i < 400000; ++i) {
    double value;
    if (i % 2 == 0) {
      const uint64_t bits = rng();
      std::memcpy(&value, &bits, sizeof value);
      if (!std::isfinite(value)) continue;
    } else {
      value = std::ldexp(unit(rng), binary_exp(rng));
    }
    const std::string text = real_to_json(value);
    const double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    const double mag = std::fabs(value);
    const bool plain = mag == 0.0 || (mag >= 1e-5 && mag < 1e16);
    ASSERT_EQ(text.find('e') == std::string::npos, plain) << text;
    ASSERT_EQ(text.find('.') != std::string::npos || !plain, true) << text;
    ASSERT_EQ(text.find('+'), std::string::npos) << text;
  }
}

}  // namespace encode_test
}  // namespace kestrune
