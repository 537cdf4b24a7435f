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

/// The plan after an idle wait aimed at the boundary `aimed_ns`. A wake lands late, which
/// can be past a very short on-phase; so the on-phase counts from the period start and a
/// duty above 0 is always on, with `until_ns` at or before `t_ns` when only one dispatch
/// fits. A wake before `aimed_ns` idles on to it.
PeriodPlan plan_period_after_wait(uint64_t t_ns, uint32_t duty_e4, uint64_t aimed_ns);

/// Follows gpu_duty_e4 in 100 ms periods until stop_requested or a failure: dispatches back
/// to back during each on-phase, at least once per period at any duty above 0 (a duty of 0
/// stops dispatching at once), idles on the timer otherwise. Sends Sample for the first dispatch and then at most one per 250 ms, and
/// Failed for a failing dispatch, two slow dispatches in a row ("gpuSlow") or a failed idle
/// wait ("timer").
void run_duty_cycle(const LoadControl& control, const CommandSender& commands, TuneState& tune,
                    GpuTimer& timer, GpuDevice& device);

}  // namespace kestrune
