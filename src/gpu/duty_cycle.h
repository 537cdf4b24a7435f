#pragma once
#include <cstdint>

#include "gpu/dispatch.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_thread.h"
#include "core/load_control.h"
#include "core/supervisor_msg.h"

namespace kestrune {

/// At least this long between two Sample reports.
inline constexpr uint64_t kSampleIntervalNs = 250'000'000;

/// What to do from time `t_ns` (since base_instant) at duty `duty_e4` (1/10000): dispatch
/// (on) or idle, until `until_ns`. The on-phase is the first duty share of each period.
struct PeriodPlan {
  bool on = false;
  uint64_t until_ns = 0;
  bool operator==(const PeriodPlan&) const = default;
};
PeriodPlan plan_period(uint64_t t_ns, uint32_t duty_e4);

/// Follows gpu_duty_e4 in 100 ms periods until stop_requested or a failure: dispatches back
/// to back during each on-phase (a duty of 0 stops dispatching at once), idles on the timer
/// otherwise. Sends Sample for the first dispatch and then at most one per 250 ms, and
/// Failed for a failing dispatch, two slow dispatches in a row ("gpuSlow") or a failed idle
/// wait ("timer").
void run_duty_cycle(const LoadControl& control, const CommandSender& commands, TuneState& tune,
                    GpuTimer& timer, GpuDevice& device);

}  // namespace kestrune
