#pragma once
// The "burn-gpu" thread: its body from counting in to cleaning up, and this build's
// platform for it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/load_control.h"
#include "core/supervisor_msg.h"
#include "core/timer_wait.h"
#include "gpu/gpu_platform.h"
#include "gpu/gpu_setup.h"

namespace kestrune {

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
