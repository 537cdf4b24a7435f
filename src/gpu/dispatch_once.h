#pragma once
#include <cstdint>
#include <optional>

#include "gpu/device_error.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_timer.h"
#include "main/load_control.h"

namespace kestrune {

/// Thread groups per dispatch (256 threads each).
inline constexpr uint32_t kDispatchGroups = 4096;

/// A dispatch's time in milliseconds, or the failure that ended it.
struct DispatchResult {
  double ms = 0.0;
  std::optional<GpuFailure> failure;
};

/// Runs one dispatch with `iters` (uploading P first when it changes) and waits for it by
/// polling the event query once per poll_pause. Fails on a failing poll or a removal reason
/// after completion (describe_device_error), or after 1.5 s without completion
/// (hang_failure). When stop_requested is seen while waiting it returns the time so far.
DispatchResult dispatch_once(GpuDevice& device, uint32_t iters, GpuTimer& timer,
                             const LoadControl& control);

}  // namespace kestrune
