#include "main/bounded_wait.h"

#include "core/timer_wait.h"
#include "os/clock.h"

namespace kestrune {

uint64_t bounded_wait_pause_ns(uint64_t elapsed_ns, uint64_t limit_ns) {
  if (elapsed_ns >= limit_ns) return 0;
  const uint64_t left = limit_ns - elapsed_ns;
  return left < kBoundedWaitPollNs ? left : kBoundedWaitPollNs;
}

PollPause::PollPause() : timer_(os::WaitableTimer::create(true)) {
  if (!timer_) timer_ = os::WaitableTimer::create(false);
}

void PollPause::pause_ns(uint64_t ns) {
  if (ns == 0) return;
  if (timer_ && timer_wait(*timer_, ns / 1'000'000'000u, static_cast<uint32_t>(ns % 1'000'000'000u),
                           nullptr) == WaitOutcome::Elapsed) {
    return;
  }
  os::sleep_ms(static_cast<uint32_t>((ns + 999'999u) / 1'000'000u));
}

}  // namespace kestrune
