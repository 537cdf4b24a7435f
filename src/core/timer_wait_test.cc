#include "core/timer_wait.h"

#include <gtest/gtest.h>

#include <thread>

#include "os/clock.h"
#include "os/stop_event.h"
#include "timing/machine_delay.h"

namespace kestrune {
namespace timer_wait_test {

TEST(PlanTimerWait, ConvertsToTimerUnitsAndGuardTimeout) {
  struct Case {
    uint64_t s;
    uint32_t ns;
    int64_t due;
    uint32_t timeout_ms;
  };
  const Case cases[] = {
      {0, 0, 1, 50},                    // at least one unit
      {0, 99, 1, 50},                   // below one unit
      {0, 100, 1, 50},
      {0, 250, 2, 50},                  // truncated
      {0, 10'000, 100, 50},             // 10 us
      {0, 99'999'999, 999'999, 149},    // just under a period
      {0, 100'000'000, 1'000'000, 150},
      {1, 500'000'000, 15'000'000, 1550},
      {0, 4'294'967'295u, 42'949'672, 4344},  // nanos above one second still count
      {4'294'967, 0, 42'949'670'000'000, 4'294'967'050u},
      {4'294'967, 245'000'000, 42'949'672'450'000, 0xFFFFFFFFu},  // 295 + 50: saturates
      {4'294'968, 0, 42'949'680'000'000, 0xFFFFFFFFu},
      {UINT64_MAX, 999'999'999u, INT64_MAX, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    TimerWaitPlan p = plan_timer_wait(c.s, c.ns);
    EXPECT_EQ(p.due_100ns, c.due) << c.s << "s " << c.ns << "ns";
    EXPECT_EQ(p.timeout_ms, c.timeout_ms) << c.s << "s " << c.ns << "ns";
  }
}

std::unique_ptr<os::WaitableTimer> make_timer() {
  auto t = os::WaitableTimer::create(true);
  if (!t) t = os::WaitableTimer::create(false);
  return t;
}

TEST(TimerWait, WaitsAboutTheAskedTime) {
  auto timer = make_timer();
  ASSERT_TRUE(timer);
  auto stop = os::StopEvent::create();
  ASSERT_TRUE(stop);
  for (uint32_t ms : {0u, 1u, 5u, 20u}) {
    // Both with and without a stop event to watch.
    for (const os::StopEvent* ev : {static_cast<const os::StopEvent*>(nullptr),
                                   static_cast<const os::StopEvent*>(stop.get())}) {
      timing::MachineDelay delay;
      uint64_t t0 = os::monotonic_ns();
      EXPECT_EQ(timer_wait(*timer, 0, ms * 1'000'000u, ev), WaitOutcome::Elapsed);
      uint64_t took = os::monotonic_ns() - t0;
      delay.stop();
      EXPECT_GE(took + 100'000, ms * 1'000'000ull) << ms;  // a little early is the timer's
      KL_EXPECT_TIMELY(took, ms * 1'000'000ull + 40'000'000ull, delay);
    }
  }
}

TEST(TimerWait, StopEventCutsTheWaitShort) {
  auto timer = make_timer();
  ASSERT_TRUE(timer);
  auto stop = os::StopEvent::create();
  ASSERT_TRUE(stop);
  std::thread signaller([&] {
    os::sleep_ms(20);
    stop->signal();
  });
  timing::MachineDelay delay;
  uint64_t t0 = os::monotonic_ns();
  WaitOutcome r = timer_wait(*timer, 5, 0, stop.get());
  uint64_t took = os::monotonic_ns() - t0;
  signaller.join();
  delay.stop();
  EXPECT_EQ(r, WaitOutcome::StopSignalled);
  KL_EXPECT_TIMELY(took, 1'000'000'000u, delay);
  // Once signalled it stays so: the next long wait returns at once as well.
  EXPECT_EQ(timer_wait(*timer, 5, 0, stop.get()), WaitOutcome::StopSignalled);
  // The timer is still usable after a cut wait.
  EXPECT_EQ(timer_wait(*timer, 0, 1'000'000, nullptr), WaitOutcome::Elapsed);
}

}  // namespace timer_wait_test
}  // namespace kestrune
