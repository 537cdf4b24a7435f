#pragma once
#include <cstdint>

namespace kestrune::os {

/// Nanoseconds on the monotonic clock from an arbitrary fixed origin
/// (QueryPerformanceCounter / CLOCK_MONOTONIC). Never goes backwards.
uint64_t monotonic_ns();

/// Sleeps the calling thread for about `ms` milliseconds.
void sleep_ms(uint32_t ms);

}  // namespace kestrune::os
