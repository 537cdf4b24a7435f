#pragma once
// Duty-cycle timing of every load thread, CPU workers and the GPU alike: periods
// P = kDutyPeriodNs fixed by base_instant and a per-thread phase offset (0 for the GPU), each
// period busy for its first `duty` share.

#include <cstdint>

#include "core/load_control.h"

namespace kestrune {

/// Worker `index` of `count` starts its periods (index mod m) * P / m ns after the
/// origin, m = max(count, 1): 4 workers at 0, 25, 50 and 75 ms.
uint64_t phase_offset_ns(uint32_t index, uint32_t count);

/// Where `now_ns` falls in the worker's current period: pos = (now + P - offset) mod P,
/// period_end = now + P - pos. The period starts at period_end - P, which for a worker
/// with an offset can lie before the origin, so it is not kept as an unsigned time.
struct PeriodWindow {
  uint64_t pos;
  uint64_t period_end;
};
PeriodWindow period_window(uint64_t now_ns, uint64_t offset_ns);

/// The length of the on-window for a duty in 1/10000: d x P, which in nanoseconds is exactly
/// duty_e4 x 10,000 (no rounding); P for a duty of 1 or more, 0 for none.
uint64_t on_window_ns(uint32_t duty_e4);

/// What a load thread does next: burn (dispatch, on the GPU) or idle until `deadline_ns`.
struct DutySlice {
  bool burn = false;
  uint64_t deadline_ns = 0;
  bool operator==(const DutySlice&) const = default;
};

/// Duty 0 idles to the period end; a duty of 1 or more, or an on-window of a whole
/// period, burns to it; otherwise a wake inside the on-window burns its remainder
/// (to period start + on) and a wake after it idles to the period end.
DutySlice choose_slice(uint64_t now_ns, uint64_t offset_ns, uint32_t duty_e4);

/// The next step after an idle wait aimed at the period boundary `aimed_ns`. A wake lands
/// some tens of microseconds late, which can be past a very short on-window; so the window
/// is taken from the period start, not from the wake, and a duty above 0 always burns: to
/// period start + on when that is still ahead, else for one kernel call (deadline = now).
/// A wake before `aimed_ns` idles on to it; duty 0 idles to the period end.
DutySlice choose_slice_after_wait(uint64_t now_ns, uint64_t offset_ns, uint32_t duty_e4,
                                  uint64_t aimed_ns);

}  // namespace kestrune
