// The OS seam, on whichever backend this build has (POSIX natively, Win32 under Wine).

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "os/clock.h"
#include "os/probes.h"
#include "os/stop_event.h"
#include "os/thread.h"
#include "os/waitable_timer.h"
#include "timing/machine_delay.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#endif

namespace kestrune::os {
namespace os_test {

uint64_t ms_since(uint64_t t0) { return (monotonic_ns() - t0) / 1'000'000; }

TEST(OsTimer, FiresAfterItsDueTime) {
  auto timer = WaitableTimer::create(true);
  ASSERT_TRUE(timer);
  timing::MachineDelay delay;
  const uint64_t t0 = monotonic_ns();
  ASSERT_TRUE(timer->arm_relative(20 * 10'000));  // 20 ms
  EXPECT_EQ(wait_timer_or_stop(*timer, nullptr, 1000), WaitResult::Timer);
  const uint64_t took = ms_since(t0);
  delay.stop();
  EXPECT_GE(took, 19u);
  KL_EXPECT_TIMELY(took * 1'000'000, 500'000'000u, delay);
  // Re-arming after a fire waits again rather than returning at once.
  const uint64_t t1 = monotonic_ns();
  ASSERT_TRUE(timer->arm_relative(10 * 10'000));
  EXPECT_EQ(wait_timer_or_stop(*timer, nullptr, 1000), WaitResult::Timer);
  EXPECT_GE(ms_since(t1), 9u);
}

TEST(OsTimer, GuardTimeoutEndsAWaitOnATimerThatNeverFires) {
  auto timer = WaitableTimer::create(false);
  ASSERT_TRUE(timer);
  ASSERT_TRUE(timer->arm_relative(int64_t{10'000'000} * 10));  // 10 s
  EXPECT_EQ(wait_timer_or_stop(*timer, nullptr, 15), WaitResult::Timeout);
}

TEST(OsTimer, StopEventCutsTheWaitShortAndStaysSignalled) {
  auto timer = WaitableTimer::create(true);
  auto stop = StopEvent::create();
  ASSERT_TRUE(timer && stop);
  EXPECT_FALSE(stop->is_signalled());
  ASSERT_TRUE(timer->arm_relative(int64_t{10'000'000} * 10));  // 10 s
  std::thread signaller([&] {
    sleep_ms(10);
    stop->signal();
  });
  timing::MachineDelay delay;
  const uint64_t t0 = monotonic_ns();
  EXPECT_EQ(wait_timer_or_stop(*timer, stop.get(), 20000), WaitResult::Stop);
  const uint64_t took = ms_since(t0);
  signaller.join();
  delay.stop();
  // Manual reset: every later wait sees it too.
  EXPECT_TRUE(stop->is_signalled());
  ASSERT_TRUE(timer->arm_relative(int64_t{10'000'000} * 10));
  EXPECT_EQ(wait_timer_or_stop(*timer, stop.get(), 20000), WaitResult::Stop);
  KL_EXPECT_TIMELY(took * 1'000'000, 2'000'000'000u, delay);
}

TEST(OsThread, StartsADetachedThreadWithAReservedStack) {
  std::atomic<int> ran{0};
  ASSERT_TRUE(start_thread("burn-0", 0x40000, [&] { ran.store(1); }));
  const uint64_t t0 = monotonic_ns();
  while (ran.load() == 0 && ms_since(t0) < 5000) sleep_ms(1);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_GE(logical_processor_count(), 1u);
  EXPECT_NE(current_process_id(), 0u);
}

#ifndef _WIN32
// Nice only goes up without privilege, so the order must come from lowering the load: the
// others keep the nice they were started with, below-normal sits 2 further down, and a
// thread is never moved back up (which would fail for an ordinary user).
TEST(OsThread, PrioritiesOnlyEverRaiseNice) {
  std::thread([] {
    const int start = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    auto nice_now = [] { return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); };
    set_current_thread_priority(ThreadPriority::AboveNormal);
    EXPECT_EQ(nice_now(), start);
    set_current_thread_priority(ThreadPriority::Normal);
    EXPECT_EQ(nice_now(), start);
    set_current_thread_priority(ThreadPriority::BelowNormal);
    EXPECT_EQ(nice_now(), std::min(start + 2, 19));
    set_current_thread_priority(ThreadPriority::AboveNormal);
    EXPECT_EQ(nice_now(), std::min(start + 2, 19));
  }).join();
}
#endif

TEST(OsParentWatch, SeesItsOwnProcessAliveAndRefusesPidZero) {
  auto self = ParentWatch::open(current_process_id());
  ASSERT_TRUE(self);
  EXPECT_TRUE(self->alive());
  EXPECT_EQ(ParentWatch::open(0), nullptr);
}

TEST(OsClock, IsMonotonic) {
  uint64_t a = monotonic_ns();
  sleep_ms(2);
  uint64_t b = monotonic_ns();
  EXPECT_GT(b, a);
  EXPECT_GE(b - a, 1'000'000u);
}

}  // namespace os_test
}  // namespace kestrune::os
