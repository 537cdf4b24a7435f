#include "main/bounded_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "main/final_stop.h"
#include "os/clock.h"
#include "timing/machine_delay.h"

namespace kestrune {
namespace bounded_wait_test {

constexpr uint64_t kMs = 1'000'000;

TEST(BoundedWaitPause, PollsEvery2MsAndEndsExactlyAtTheLimit) {
  struct Case {
    uint64_t elapsed, limit, want;
  };
  const Case cases[] = {
      {0, 200 * kMs, 2 * kMs},          {199 * kMs, 200 * kMs, kMs},
      {200 * kMs - 1, 200 * kMs, 1},    {200 * kMs, 200 * kMs, 0},
      {250 * kMs, 200 * kMs, 0},        {0, 0, 0},
      {0, kMs / 2, kMs / 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bounded_wait_pause_ns(c.elapsed, c.limit), c.want) << c.elapsed << " of " << c.limit;
  }
}

// Real time: the bound holds to within what the machine delayed, and a condition that comes
// true midway is seen at the next poll.
TEST(WaitBounded, KeepsItsBoundAndSeesTheConditionWithinAPoll) {
  timing::MachineDelay delay;
  uint64_t t0 = os::monotonic_ns();
  int polls = 0;
  EXPECT_FALSE(wait_bounded(30, [&] { return ++polls, false; }));
  const uint64_t spent = os::monotonic_ns() - t0;
  delay.stop();
  EXPECT_GE(spent, 30 * kMs);

  std::atomic<bool> flag{false};
  timing::MachineDelay seen_delay;
  std::thread setter([&] {
    os::sleep_ms(10);
    flag.store(true);
  });
  t0 = os::monotonic_ns();
  EXPECT_TRUE(wait_bounded(200, [&] { return flag.load(); }));
  const uint64_t seen = os::monotonic_ns() - t0;
  setter.join();
  seen_delay.stop();
  KL_EXPECT_TIMELY(seen, 40 * kMs, seen_delay);

  KL_EXPECT_TIMELY(spent, 45 * kMs, delay);
  // A sleep of one scheduler tick per poll would give 2 or 3 polls; each 2 ms the machine
  // withheld may have cost one.
  EXPECT_GE(polls + static_cast<int>(delay.ns() / (2 * kMs)), 4) << delay.figures();
}

}  // namespace bounded_wait_test
}  // namespace kestrune
