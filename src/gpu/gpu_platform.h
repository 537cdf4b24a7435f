#pragma once
// What the GPU thread needs from the platform: its timer and clock, its priority and the
// device set-up. Tests substitute fakes for both.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/load_control.h"
#include "core/timer_wait.h"
#include "gpu/gpu_setup.h"

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

/// The effects the GPU thread body needs from the platform; tests substitute a fake.
class GpuPlatform {
 public:
  virtual ~GpuPlatform() = default;
  /// Lowers the calling thread's priority to below normal (failure ignored).
  virtual void lower_priority() = 0;
  /// The thread's timer: high-resolution, else ordinary; null when neither can be created.
  virtual std::unique_ptr<GpuTimer> create_timer(const LoadControl& control) = 0;
  /// The device set-up.
  virtual GpuSetupResult open_gpu(const std::optional<std::string>& hint) = 0;
  /// Where calibration starts on the device that open_gpu gave.
  virtual CalibrationStart calibration_start() const { return CalibrationStart::Initial; }
};

}  // namespace kestrune
