#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gpu/gpu_setup.h"
#include "gpu/gpu_timer.h"
#include "main/load_control.h"
#include "main/supervisor_msg.h"

namespace kestrune {

/// The effects the GPU thread body needs from the platform; tests substitute fakes.
struct GpuThreadDeps {
  /// Lowers the calling thread's priority to below normal (failure ignored).
  std::function<void()> lower_priority;
  /// The thread's timer: high-resolution, else ordinary; null when neither can be created.
  std::function<std::unique_ptr<GpuTimer>(const LoadControl&)> create_timer;
  /// The device set-up.
  std::function<GpuSetupResult(const std::optional<std::string>& hint)> open_gpu;
};

/// The "burn-gpu" thread body: counts itself in, creates its timer, sets up the device,
/// calibrates, sends Init once (ok, or the failure code), runs the duty cycle, then releases
/// everything (device objects, then timer, then hint), counts itself out and only then
/// gives up its LoadControl reference and its command sender. Reports are never waited on;
/// a closed queue just loses them.
void gpu_thread_main(CommandSender commands, std::optional<std::string> hint,
                     LoadControlRef control, const GpuThreadDeps& deps);

}  // namespace kestrune
