#include "gpu/adapt_iters.h"

#include <algorithm>
#include <cmath>

namespace kestrune {

void adapt_iters(TuneState& state, double ms) {
  if (ms > kSlowDispatchMs) {
    if (state.slow_count < UINT32_MAX) ++state.slow_count;
    if (state.slow_count > 1) state.slow = true;
  } else {
    state.slow_count = 0;
  }
  double f = ms > 0 ? 20.0 / ms : 8.0;
  if (ms > 60) {
    f = std::min(f, 0.5);
  } else if (ms > 30) {
    f = std::min(f, 0.6);
  } else {
    f = std::min(f, 8.0);
  }
  // Clamp in floating point before converting: the product may exceed u32.
  const double next = std::floor(static_cast<double>(state.iters) * f);
  state.iters = static_cast<uint32_t>(
      std::clamp(next, static_cast<double>(kMinIters), static_cast<double>(kMaxIters)));
}

}  // namespace kestrune
