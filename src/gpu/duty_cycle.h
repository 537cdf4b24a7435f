#pragma once
#include <cstdint>

#include "core/load_control.h"
#include "core/supervisor_msg.h"
#include "gpu/dispatch.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_platform.h"

namespace kestrune {

/// At least this long between two Sample reports.
inline constexpr uint64_t kSampleIntervalNs = 250'000'000;

/// Follows gpu_duty_e4 in 100 ms periods (the duty period with no phase offset) until stop_requested or a failure: dispatches back
/// to back during each on-phase, at least once per period at any duty above 0 (a duty of 0
/// stops dispatching at once), idles on the timer otherwise. Sends Sample for the first dispatch and then at most one per 250 ms, and
/// Failed for a failing dispatch, two slow dispatches in a row ("gpuSlow") or a failed idle
/// wait ("timer").
void run_duty_cycle(const LoadControl& control, const CommandSender& commands, TuneState& tune,
                    GpuTimer& timer, GpuDevice& device);

}  // namespace kestrune
