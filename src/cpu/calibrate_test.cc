#include "cpu/calibrate.h"

#include <gtest/gtest.h>

#include "cpu/cpu_features.h"

namespace kestrune {
namespace calibrate_test {

TEST(ItersFromElapsed, RoundsAndClamps) {
  struct Case {
    uint64_t elapsed_ns;
    uint32_t want;
  };
  const Case cases[] = {
      {0, 2000},                  // the clock did not advance
      {1, 1'000'000},             // 40,000,000 clamped
      {40, 1'000'000},            // exactly the ceiling
      {41, 975'610},              // 975,609.76 rounds up
      {40'000, 1000},             // 20 ns per iteration
      {128'000, 313},             // 312.5: half away from zero
      {640'000, 64},             // 62.5 -> 63, then the floor of 64
      {625'000, 64},              // exactly the floor
      {1'000'000'000'000ull, 64}, // very slow: rounds to 0, clamped up
      {UINT64_MAX, 64},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(iters_from_elapsed(c.elapsed_ns), c.want) << c.elapsed_ns;
  }
}

uint64_t g_fake_now = 0;
uint64_t g_fake_step = 0;
uint64_t fake_clock() {
  uint64_t t = g_fake_now;
  g_fake_now += g_fake_step;
  return t;
}

TEST(CalibrateIters, UsesOneTimedCallBetweenTwoClockReadings) {
  // Each reading advances the fake clock by `step`: the timed call appears to take it.
  struct Case {
    uint64_t step;
    uint32_t want;
  };
  for (Case c : {Case{0, 2000}, Case{40'000, 1000}, Case{1, 1'000'000}, Case{10'000'000'000, 64}}) {
    g_fake_now = 5'000'000;
    g_fake_step = c.step;
    EXPECT_EQ(calibrate_iters(KernelKind::Sse2, fake_clock), c.want) << c.step;
  }
}

TEST(CalibrateIters, RealRunIsInRangeForTheKernelInUse) {
  const KernelKind kinds[] = {KernelKind::Sse2, kernel_kind_for(detect_cpu_features())};
  for (KernelKind kind : kinds) {
    uint32_t n = calibrate_iters(kind);
    EXPECT_GE(n, 64u);
    EXPECT_LE(n, 1'000'000u);
  }
}

}  // namespace calibrate_test
}  // namespace kestrune
