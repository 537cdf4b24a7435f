#pragma once
// The GPU thread's clock and its waits: one object so tests can drive time.

#include <cstdint>

#include "cpu/timer_wait.h"

namespace kestrune {

/// The GPU thread's waitable timer together with the clock its periods are counted on.
/// Every wait also ends when the stop event (if there is one) is signalled.
class GpuTimer {
 public:
  virtual ~GpuTimer() = default;
  /// Nanoseconds since base_instant.
  virtual uint64_t now_ns() = 0;
  /// The pause between two completion polls: the timer armed for 1 ms, the wait limited to
  /// 51 ms; when arming or waiting fails, one yield of the processor instead.
  virtual void poll_pause() = 0;
  /// Idles for `ns` (> 0) as timer_wait does.
  virtual WaitOutcome idle_wait(uint64_t ns) = 0;
};

}  // namespace kestrune
