#pragma once
#include "main/runtime.h"
#include "main/stop_reason.h"

namespace kestrune {

/// Ends every run: load off, a short wait for the load threads, the bye as the last line,
/// a short wait for the writer, then the process ends with the reason's exit code.
[[noreturn]] void final_stop(Runtime& rt, StopReason reason, double cpu_s, double gpu_s);

/// The bye for a reason and the two duty-second totals (rounded to one decimal).
Bye make_bye(StopReason reason, double cpu_s, double gpu_s);

/// Polls `done` every 2 ms until it holds or `limit_ms` have passed; tests before the first
/// pause and once more at the limit. True when `done` held.
template <class Done>
bool wait_bounded(uint32_t limit_ms, Done done);

}  // namespace kestrune

#include "main/bounded_wait.h"
#include "os/clock.h"

namespace kestrune {
template <class Done>
bool wait_bounded(uint32_t limit_ms, Done done) {
  const uint64_t start = os::monotonic_ns();
  const uint64_t limit_ns = uint64_t{limit_ms} * 1'000'000u;
  PollPause pause;
  for (;;) {
    if (done()) return true;
    const uint64_t ns = bounded_wait_pause_ns(os::monotonic_ns() - start, limit_ns);
    if (ns == 0) return false;
    pause.pause_ns(ns);
  }
}
}  // namespace kestrune
