#pragma once
// The pauses of the final stop's bounded waits. A plain sleep of 2 ms lasts one to two
// scheduler ticks (15.6 ms each) on Windows unless the timer resolution is raised, which
// would make every stop some 30 ms slower and let each bound overrun by a tick; a
// high-resolution waitable timer keeps them to the time asked.

#include <cstdint>
#include <memory>

#include "os/waitable_timer.h"

namespace kestrune {

/// How often a bounded wait tests its condition.
inline constexpr uint64_t kBoundedWaitPollNs = 2'000'000;

/// The next pause of a wait `elapsed_ns` into its `limit_ns`: the poll interval, cut to what
/// is left so the last test lands on the limit; 0 once the limit is reached.
uint64_t bounded_wait_pause_ns(uint64_t elapsed_ns, uint64_t limit_ns);

/// Precise pauses on a waitable timer owned by the calling thread: high-resolution where
/// the system has it, a plain one otherwise, a sleep of whole milliseconds when neither
/// can be created or armed.
class PollPause {
 public:
  PollPause();
  void pause_ns(uint64_t ns);

 private:
  std::unique_ptr<os::WaitableTimer> timer_;
};

}  // namespace kestrune
