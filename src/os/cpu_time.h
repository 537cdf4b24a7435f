#pragma once
#include <cstdint>

namespace kestrune::os {

/// CPU time (user + kernel) consumed so far by the whole process, in nanoseconds
/// (GetProcessTimes / getrusage). Windows advances it in scheduler ticks (10-16 ms):
/// compare readings over seconds, not milliseconds.
uint64_t process_cpu_ns();

/// CPU time consumed so far by the calling thread, in nanoseconds.
uint64_t thread_cpu_ns();

}  // namespace kestrune::os
