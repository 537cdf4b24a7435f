#pragma once
#include <cstdint>
#include <memory>

#include "os/waitable_timer.h"

namespace kestrune {

/// Where the load threads get their waitable timers; tests substitute one that has none.
class TimerSource {
 public:
  virtual ~TimerSource() = default;
  /// A high-resolution timer when the system offers one, else an ordinary one; null when
  /// neither can be created.
  virtual std::unique_ptr<os::WaitableTimer> create() const = 0;
};

/// The operating system's timers.
const TimerSource& os_timers();

enum class WaitOutcome { Elapsed, StopSignalled, WaitFailed };

/// Relative wait of `seconds` + `nanos` on `timer` that the stop event (if any) cuts short.
/// Shared by the CPU workers and the GPU thread's idle slices.
WaitOutcome timer_wait(os::WaitableTimer& timer, uint64_t seconds, uint32_t nanos,
                       const os::StopEvent* stop_event);

/// The due time in 100-ns units (at least 1) and the guard time-out in ms (+50, saturating
/// at 0xFFFFFFFF) for a relative wait. Pure, for tests.
struct TimerWaitPlan {
  int64_t due_100ns;
  uint32_t timeout_ms;
};
TimerWaitPlan plan_timer_wait(uint64_t seconds, uint32_t nanos);

}  // namespace kestrune
