#pragma once
// The block of atomics shared by the supervisor and every load thread.

#include <atomic>
#include <cstdint>
#include <memory>

#include "os/clock.h"
#include "os/stop_event.h"

namespace kestrune {

/// The duty period: every load thread follows its duty word in 100 ms periods counted
/// from base_instant.
inline constexpr uint64_t kDutyPeriodNs = 100'000'000;

struct LoadControl {
  /// Absent when it could not be created; signalled once, by the final stop.
  std::unique_ptr<os::StopEvent> stop_event;
  std::atomic<bool> stop_requested{false};
  /// Raised by a thread that failed (an escaping exception); the supervisor then stops
  /// the run with reason "fatal".
  std::atomic<bool> fatal_requested{false};
  /// Monotonic reading taken at start-up: the origin of every time in the process.
  uint64_t base_instant_ns = 0;
  std::atomic<uint64_t> threads_exited{0};
  std::atomic<uint64_t> threads_started{0};
  /// Duties in 1/10000, written only by the supervisor.
  std::atomic<uint32_t> cpu_duty_e4{0};
  std::atomic<uint32_t> gpu_duty_e4{0};
  /// CPU workers XOR their kernel results in here; never read.
  std::atomic<uint32_t> result_sink{0};

  /// Nanoseconds since base_instant (0 for a reading before it).
  uint64_t now_ns() const {
    uint64_t t = os::monotonic_ns();
    return t > base_instant_ns ? t - base_instant_ns : 0;
  }
  /// Supervisor milliseconds: whole milliseconds since base_instant, truncated.
  uint64_t now_ms() const { return now_ns() / 1'000'000; }
  /// The stop event, or null.
  const os::StopEvent* stop() const { return stop_event.get(); }
};

using LoadControlRef = std::shared_ptr<LoadControl>;

}  // namespace kestrune
