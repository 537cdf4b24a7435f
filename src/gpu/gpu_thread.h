#pragma once
// The "burn-gpu" thread: its clock and waits, the platform effects it needs, and its body
// from counting in to cleaning up.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/load_control.h"
#include "core/supervisor_msg.h"
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

/// This build's platform: the operating system's thread priority and timers, and the
/// device set-up with `options`.
std::shared_ptr<GpuPlatform> os_gpu_platform(const GpuSetupOptions& options);

/// The "burn-gpu" thread body: counts itself in, creates its timer, sets up the device,
/// calibrates, sends Init once (ok, or the failure code), runs the duty cycle, then releases
/// everything (device objects, then timer, then hint), counts itself out and only then
/// gives up its LoadControl reference and its command sender. Reports are never waited on;
/// a closed queue just loses them.
void gpu_thread_main(CommandSender commands, std::optional<std::string> hint,
                     LoadControlRef control, GpuPlatform& platform);

/// The GPU thread's real timer: a waitable timer from `timers` and the monotonic clock
/// since base_instant. Null when no timer can be created. `control` must outlive it.
std::unique_ptr<GpuTimer> create_os_gpu_timer(const LoadControl& control,
                                              const TimerSource& timers = os_timers());

/// Starts the detached "burn-gpu" thread on `platform`, which it keeps until it ends.
/// False when the thread could not be created.
bool start_gpu_thread(const CommandSender& commands, std::optional<std::string> adapter_hint,
                      const LoadControlRef& control, std::shared_ptr<GpuPlatform> platform);

}  // namespace kestrune
