#include <time.h>

#include <cerrno>

#include "os/clock.h"

namespace kestrune::os {

uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

void sleep_ms(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
  // Resume after signals until the full time has passed; bounded by `ms`.
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace kestrune::os
