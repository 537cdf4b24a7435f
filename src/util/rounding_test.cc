#include "util/rounding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrune {
namespace rounding_test {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct RoundCase {
  double value;
  int places;
  double expected;
};

// The product value*10^k is formed in double before rounding: that decides halves
// whose decimal text is not exactly representable.
TEST(Rounding, HalvesAwayFromZeroOnTheScaledDouble) {
  const RoundCase cases[] = {
      {1.25, 1, 1.3},      {-1.25, 1, -1.3},  {0.05, 1, 0.1},     {0.45, 1, 0.5},
      {0.15, 1, 0.2},      // 0.15 is just below 0.15, but 0.15*10 is exactly 1.5
      {1.24, 1, 1.2},      {12.34, 1, 12.3},  {2.0, 1, 2.0},      {0.0, 1, 0.0},
      {0.0005, 3, 0.001},  // 0.0005*1000 is exactly 0.5
      {0.0015, 3, 0.002},  {-0.0005, 3, -0.001}, {1.0005, 3, 1.001},
      {0.0004999, 3, 0.0}, {0.12345, 3, 0.123}, {1.0, 3, 1.0},      {0.9999, 3, 1.0},
      {7.5, 0, 8.0},       {-7.5, 0, -8.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(round_to_places(c.value, c.places), c.expected)
        << c.value << " at " << c.places << " places";
  }
  EXPECT_EQ(round1(1.25), 1.3);
  EXPECT_EQ(round3(0.0005), 0.001);
}

TEST(Rounding, NonFiniteGivesZeroForRequiredFields) {
  EXPECT_EQ(round1(kInf), 0.0);
  EXPECT_EQ(round1(-kInf), 0.0);
  EXPECT_EQ(round3(kNaN), 0.0);
}

TEST(Rounding, ValuesTooLargeToScaleAreKept) {
  EXPECT_EQ(round3(1e308), 1e308);
  EXPECT_EQ(round1(-std::numeric_limits<double>::max()), -std::numeric_limits<double>::max());
  EXPECT_EQ(round1(1e300), 1e300);
}

TEST(Rounding, OptionalFieldsBecomeNoneWhenNotFinite) {
  EXPECT_EQ(round_optional(std::nullopt, 1), std::nullopt);
  EXPECT_EQ(round_optional(kNaN, 1), std::nullopt);
  EXPECT_EQ(round_optional(kInf, 3), std::nullopt);
  EXPECT_EQ(round_optional(1.25, 1), std::optional<double>(1.3));
  EXPECT_EQ(round_optional(0.0, 1), std::optional<double>(0.0));
}

}  // namespace rounding_test
}  // namespace kestrune
