#include "os/clock.h"
#include "os/win32.h"

namespace kestrune::os {

uint64_t monotonic_ns() {
  static const uint64_t freq = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  const uint64_t ticks = static_cast<uint64_t>(c.QuadPart);
  // Split to avoid overflowing 64 bits after long uptimes.
  return ticks / freq * 1'000'000'000u + ticks % freq * 1'000'000'000u / freq;
}

void sleep_ms(uint32_t ms) { Sleep(ms); }

}  // namespace kestrune::os
