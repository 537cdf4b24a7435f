#include "main/bounded_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "main/final_stop.h"
#include "os/clock.h"

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

// Real time: the bound holds to within scheduling noise, and a condition that comes true
// midway is seen at the next poll.
TEST(WaitBounded, KeepsItsBoundAndSeesTheConditionWithinAPoll) {
  uint64_t t0 = os::monotonic_ns();
  int polls = 0;
  EXPECT_FALSE(wait_bounded(30, [&] { return ++polls, false; }));
  const uint64_t spent = os::monotonic_ns() - t0;
  EXPECT_GE(spent, 30 * kMs);
  EXPECT_LT(spent, 45 * kMs);
  EXPECT_GE(polls, 4);  // a sleep of one scheduler tick per poll would give 2 or 3

  std::atomic<bool> flag{false};
  std::thread setter([&] {
    os::sleep_ms(10);
    flag.store(true);
  });
  t0 = os::monotonic_ns();
  EXPECT_TRUE(wait_bounded(200, [&] { return flag.load(); }));
  EXPECT_LT(os::monotonic_ns() - t0, 40 * kMs);
  setter.join();
}

}  // namespace bounded_wait_test
}  // namespace kestrune
