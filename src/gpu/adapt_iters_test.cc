#include "gpu/adapt_iters.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace adapt_iters_test {

TEST(AdaptIters, RescalesTowardsTwentyMilliseconds) {
  struct Case {
    uint32_t iters;
    double ms;
    uint32_t next;
  } cases[] = {
      {256, 2, 2048},        // f = 10, capped at 8
      {2048, 16, 2560},      // f = 1.25
      {2560, 45, 1137},      // f = 20/45 (under the 0.6 cap)
      {1000, 31, 600},       // 20/31 = 0.645 capped at 0.6
      {1000, 30, 666},       // 30 ms is not above 30: f = 20/30
      {1000, 61, 327},       // 20/61 under the 0.5 cap
      {1000, 100, 200},      // f = 0.2
      {1000, 40.5, 493},
      {256, 0, 2048},        // 0 ms: f = 8
      {256, 20, 256},
      {20, 100, 16},         // floor at 16
      {1'000'000, 1, 1'048'576},  // cap at 1,048,576
      {1'048'576, 2.5, 1'048'576},
  };
  for (const Case& c : cases) {
    TuneState s{c.iters, 0, false};
    adapt_iters(s, c.ms);
    EXPECT_EQ(s.iters, c.next) << c.iters << " iters at " << c.ms << " ms";
  }
}

TEST(AdaptIters, TwoSlowDispatchesInARowSetSlowForGood) {
  TuneState s;
  adapt_iters(s, 300);
  EXPECT_EQ(s.slow_count, 1u);
  EXPECT_FALSE(s.slow);
  adapt_iters(s, 250);  // not above 250: resets
  EXPECT_EQ(s.slow_count, 0u);
  adapt_iters(s, 251);
  adapt_iters(s, 1e9);
  EXPECT_TRUE(s.slow);
  adapt_iters(s, 1);
  EXPECT_TRUE(s.slow);
  EXPECT_EQ(s.slow_count, 0u);
}

TEST(AdaptIters, ItersStayInBoundsWhateverTheTimes) {
  TuneState s;
  for (double ms : {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1e-9}) adapt_iters(s, ms);
  EXPECT_EQ(s.iters, kMaxIters);
  adapt_iters(s, 1e12);
  EXPECT_EQ(s.iters, kMinIters);
}

}  // namespace adapt_iters_test
}  // namespace kestrune
