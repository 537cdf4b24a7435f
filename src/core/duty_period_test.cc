#include "core/duty_period.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/load_control.h"
#include "os/clock.h"

namespace kestrune {
namespace duty_period_test {

constexpr uint64_t kMs = 1'000'000;

TEST(PhaseOffset, SpreadsWorkersEvenlyOverThePeriod) {
  struct Case {
    uint32_t index, count;
    uint64_t want;
  };
  const Case cases[] = {
      {0, 4, 0},          {1, 4, 25 * kMs},  {2, 4, 50 * kMs},     {3, 4, 75 * kMs},
      {0, 1, 0},          {0, 0, 0},         {3, 0, 0},            {5, 4, 25 * kMs},
      {1, 3, 33'333'333}, {2, 3, 66'666'666}, {1, 2, 50 * kMs},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(phase_offset_ns(c.index, c.count), c.want) << c.index << " of " << c.count;
  }
}

TEST(OnWindow, RoundsTheDutyToNanoseconds) {
  struct Case {
    uint32_t e4;
    uint64_t want;
  };
  const Case cases[] = {{0, 0},           {1, 10'000},          {3, 30'000},
                        {3333, 33'330'000}, {5000, 50 * kMs},     {9999, 99'990'000},
                        {10000, kDutyPeriodNs}, {20000, kDutyPeriodNs}};
  for (const Case& c : cases) EXPECT_EQ(on_window_ns(c.e4), c.want) << c.e4;
}

// The CPU workers used to round d x P in floating point; the exact product replaced it.
TEST(OnWindow, NoDutyMovesMoreThanOneMicrosecondAgainstTheFloatingPointWindow) {
  const auto float_window = [](uint32_t e4) -> uint64_t {
    const double d = e4 / 10000.0;
    if (d <= 0.0) return 0;
    if (d >= 1.0) return kDutyPeriodNs;
    return static_cast<uint64_t>(std::round(d * static_cast<double>(kDutyPeriodNs)));
  };
  for (uint32_t e4 = 0; e4 <= 10'000; ++e4) {
    const uint64_t exact = on_window_ns(e4);
    const uint64_t old = float_window(e4);
    const uint64_t diff = exact > old ? exact - old : old - exact;
    ASSERT_LE(diff, 1'000u) << e4;
    ASSERT_EQ(exact, uint64_t{e4} * 10'000) << e4;
  }
}

TEST(PeriodWindow, IsFixedByTheOriginAndOffset) {
  EXPECT_EQ(period_window(0, 0).pos, 0u);
  EXPECT_EQ(period_window(0, 0).period_end, kDutyPeriodNs);
  EXPECT_EQ(period_window(10 * kMs, 75 * kMs).pos, 35 * kMs);
  EXPECT_EQ(period_window(10 * kMs, 75 * kMs).period_end, 75 * kMs);
  EXPECT_EQ(period_window(75 * kMs, 75 * kMs).pos, 0u);
  EXPECT_EQ(period_window(75 * kMs, 75 * kMs).period_end, 175 * kMs);
  // Eleven and a half days in: still exact.
  const uint64_t late = 1'000'000 * 1'000'000'000ull + 42;
  EXPECT_EQ(period_window(late, 25 * kMs).pos, 75 * kMs + 42);
  EXPECT_EQ(period_window(late, 25 * kMs).period_end, late + 25 * kMs - 42);
}

TEST(ChooseSlice, BurnsTheFirstShareOfEachPeriod) {
  struct Case {
    const char* what;
    uint32_t duty_e4, index, count;
    uint64_t now;
    bool burn;
    uint64_t deadline;
  };
  const uint64_t P = kDutyPeriodNs;
  const Case cases[] = {
      {"duty 0 idles to the period end", 0, 0, 1, 0, false, P},
      {"duty 0 mid-period", 0, 0, 1, 37 * kMs, false, P},
      {"duty 0, offset worker", 0, 1, 4, 10 * kMs, false, 25 * kMs},
      {"duty 0.0001: 10 us window", 1, 0, 1, 0, true, 10'000},
      {"duty 0.0001: woke inside the window", 1, 0, 1, 4'000, true, 10'000},
      {"duty 0.0001: woke at its end", 1, 0, 1, 10'000, false, P},
      {"duty 0.0001 periods later", 1, 0, 1, 3 * P + 2'000, true, 3 * P + 10'000},
      {"0.5/4: w0 at 10 ms", 5000, 0, 4, 10 * kMs, true, 50 * kMs},
      {"0.5/4: w0 at 50 ms", 5000, 0, 4, 50 * kMs, false, 100 * kMs},
      {"0.5/4: w0 just before the end", 5000, 0, 4, P - 1, false, P},
      {"0.5/4: w0 next period", 5000, 0, 4, P, true, 150 * kMs},
      {"0.5/4: w1 at 10 ms waits for 25", 5000, 1, 4, 10 * kMs, false, 25 * kMs},
      {"0.5/4: w1 at 30 ms", 5000, 1, 4, 30 * kMs, true, 75 * kMs},
      {"0.5/4: w1 at 80 ms", 5000, 1, 4, 80 * kMs, false, 125 * kMs},
      {"0.5/4: w2 at 10 ms waits for 50", 5000, 2, 4, 10 * kMs, false, 50 * kMs},
      {"0.5/4: w2 at 60 ms", 5000, 2, 4, 60 * kMs, true, 100 * kMs},
      {"0.5/4: w3 at 10 ms burns 0-25", 5000, 3, 4, 10 * kMs, true, 25 * kMs},
      {"0.5/4: w3 at 30 ms", 5000, 3, 4, 30 * kMs, false, 75 * kMs},
      {"0.5/4: w3 at 80 ms", 5000, 3, 4, 80 * kMs, true, 125 * kMs},
      {"0.5/4: w3 at 175 ms", 5000, 3, 4, 175 * kMs, true, 225 * kMs},
      {"duty 1 burns to the period end", 10000, 0, 1, 10 * kMs, true, P},
      {"duty 1, offset worker", 10000, 1, 4, 10 * kMs, true, 25 * kMs},
      {"duty above 1 is full", 20000, 0, 1, 99 * kMs, true, P},
      {"duty 0.9999: after the window", 9999, 0, 1, 99'995'000, false, P},
      {"duty 0.9999: inside the window", 9999, 0, 1, 99'000'000, true, 99'990'000},
      // The GPU: one thread, offset 0.
      {"gpu duty 0 later on", 0, 0, 1, 250 * kMs, false, 300 * kMs},
      {"gpu 0.3 at 1200 ms", 3000, 0, 1, 1200 * kMs, true, 1230 * kMs},
      {"gpu 0.3 at 1229 ms", 3000, 0, 1, 1229 * kMs, true, 1230 * kMs},
      {"gpu 0.3 at 1230 ms", 3000, 0, 1, 1230 * kMs, false, 1300 * kMs},
      {"gpu 0.3 at 1299 ms", 3000, 0, 1, 1299 * kMs, false, 1300 * kMs},
      {"gpu 0.0001 at 5 ms: already over", 1, 0, 1, 5 * kMs, false, P},
      {"gpu full at 40 ms", 10000, 0, 1, 40 * kMs, true, P},
      {"gpu 0.9999 at 40 ms", 9999, 0, 1, 40 * kMs, true, 99'990'000},
      {"gpu 6.5 counts as full", 65000, 0, 1, 40 * kMs, true, P},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DutySlice s = choose_slice(c.now, phase_offset_ns(c.index, c.count), c.duty_e4);
    EXPECT_EQ(s.burn, c.burn);
    EXPECT_EQ(s.deadline_ns, c.deadline);
  }
}

TEST(ChooseSlice, AfterAWaitTheWindowCountsFromThePeriodStartAndAlwaysBurns) {
  struct Case {
    const char* what;
    uint32_t duty_e4, index, count;
    uint64_t aimed, now;
    bool burn;
    uint64_t deadline;
  };
  const uint64_t P = kDutyPeriodNs;
  const uint64_t us = 1'000;
  const Case cases[] = {
      {"duty 0.0001, woke 60 us late: one call", 1, 0, 1, P, P + 60 * us, true, P + 60 * us},
      {"duty 0.0001, woke 4 us late: rest of the window", 1, 0, 1, P, P + 4 * us, true,
       P + 10 * us},
      {"duty 0.0005, woke on time", 5, 0, 1, P, P, true, P + 50 * us},
      {"duty 0.0003, offset worker, woke late", 3, 1, 4, 125 * kMs, 125 * kMs + 90 * us, true,
       125 * kMs + 90 * us},
      {"duty 0.5, woke 1 ms late", 5000, 0, 1, P, P + kMs, true, P + 50 * kMs},
      {"full duty", 10000, 0, 1, P, P + kMs, true, 2 * P},
      {"woke early: waits out the rest", 1, 0, 1, P, P - 50 * us, false, P},
      {"duty 0 idles to the next boundary", 0, 0, 1, P, P + 60 * us, false, 2 * P},
      {"woke a period late, after its window: one call", 1, 0, 1, P, 2 * P + 5 * kMs, true,
       2 * P + 5 * kMs},
      {"woke a period late, inside the window", 5000, 0, 1, P, 2 * P + 5 * kMs, true,
       2 * P + 50 * kMs},
      // The GPU: one thread, offset 0.
      {"gpu 0.0001, woke 70 us late: one dispatch", 1, 0, 1, P, P + 70 * us, true,
       P + 70 * us},
      {"gpu 0.3, woke 1 ms late", 3000, 0, 1, P, P + kMs, true, 130 * kMs},
      {"gpu woke a period late, past the phase", 1, 0, 1, P, 250 * kMs, true, 250 * kMs},
      {"gpu duty 0 idles", 0, 0, 1, P, P + 70 * us, false, 2 * P},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DutySlice s =
        choose_slice_after_wait(c.now, phase_offset_ns(c.index, c.count), c.duty_e4, c.aimed);
    EXPECT_EQ(s.burn, c.burn);
    EXPECT_EQ(s.deadline_ns, c.deadline);
  }
}

TEST(LoadControlClock, ReadingsBeforeTheOriginCountAsZero) {
  LoadControl c;
  c.base_instant_ns = os::monotonic_ns() + 3600ull * 1'000'000'000;
  EXPECT_EQ(c.now_ns(), 0u);
  EXPECT_EQ(choose_slice(c.now_ns(), 0, 5000).deadline_ns, 50 * kMs);
  c.base_instant_ns = os::monotonic_ns();
  uint64_t a = c.now_ns();
  EXPECT_LT(a, 1000 * kMs);
}

}  // namespace duty_period_test
}  // namespace kestrune
