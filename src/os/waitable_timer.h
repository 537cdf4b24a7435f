#pragma once
#include <cstdint>
#include <memory>

#include "os/handle.h"

namespace kestrune::os {

class StopEvent;

/// A waitable timer owned by one load thread (CreateWaitableTimerExW; timerfd on POSIX).
class WaitableTimer {
 public:
  /// Creates a timer, high-resolution when asked; null on failure.
  static std::unique_ptr<WaitableTimer> create(bool high_resolution);
  /// Arms the timer to fire once, `units_100ns` (> 0) from now. False on failure.
  bool arm_relative(int64_t units_100ns);
  RawHandle raw() const { return handle_.get(); }

 private:
  explicit WaitableTimer(UniqueHandle h) : handle_(std::move(h)) {}
  UniqueHandle handle_;
};

/// Result of waiting on a timer and optionally the stop event (WaitForMultipleObjects,
/// wait-any, timer first).
enum class WaitResult { Timer, Stop, Timeout, Failed };

/// Waits until the timer fires, the stop event (if given) is signalled, or `timeout_ms`
/// passes (0xFFFFFFFF: no limit).
WaitResult wait_timer_or_stop(WaitableTimer& timer, const StopEvent* stop, uint32_t timeout_ms);

}  // namespace kestrune::os
