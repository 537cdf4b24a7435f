#include "core/timer_wait.h"

#include "os/stop_event.h"

namespace kestrune {

namespace {
class OsTimers final : public TimerSource {
 public:
  std::unique_ptr<os::WaitableTimer> create() const override {
    std::unique_ptr<os::WaitableTimer> timer = os::WaitableTimer::create(true);
    if (!timer) timer = os::WaitableTimer::create(false);
    return timer;
  }
};
}  // namespace

const TimerSource& os_timers() {
  static const OsTimers timers;
  return timers;
}

TimerWaitPlan plan_timer_wait(uint64_t seconds, uint32_t nanos) {
  // (s * 10^9 + ns) / 100 without overflow; the due time must stay a negative int64.
  constexpr uint64_t kMaxDue = static_cast<uint64_t>(INT64_MAX);
  const uint64_t from_nanos = nanos / 100u;
  uint64_t due =
      seconds > (kMaxDue - from_nanos) / 10'000'000u ? kMaxDue : seconds * 10'000'000u + from_nanos;
  if (due < 1) due = 1;

  // The guard time-out: the timer should always end the wait first.
  constexpr uint64_t kInfinite = 0xFFFFFFFFu;
  uint64_t ms =
      seconds > kInfinite / 1000u ? kInfinite : seconds * 1000u + nanos / 1'000'000u + 50u;
  if (ms > kInfinite) ms = kInfinite;
  return {static_cast<int64_t>(due), static_cast<uint32_t>(ms)};
}

WaitOutcome timer_wait(os::WaitableTimer& timer, uint64_t seconds, uint32_t nanos,
                       const os::StopEvent* stop_event) {
  const TimerWaitPlan plan = plan_timer_wait(seconds, nanos);
  if (!timer.arm_relative(plan.due_100ns)) return WaitOutcome::WaitFailed;
  switch (os::wait_timer_or_stop(timer, stop_event, plan.timeout_ms)) {
    case os::WaitResult::Timer:
    case os::WaitResult::Timeout:
      return WaitOutcome::Elapsed;
    case os::WaitResult::Stop:
      return WaitOutcome::StopSignalled;
    case os::WaitResult::Failed:
      break;
  }
  return WaitOutcome::WaitFailed;
}

}  // namespace kestrune
