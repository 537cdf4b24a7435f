#include "protocol/json_real.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "protocol/encode.h"

namespace kestrune {
namespace json_real_test {

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

}  // namespace json_real_test
}  // namespace kestrune
