#pragma once
#include <cstdint>

namespace kestrune {

inline constexpr uint32_t kInitialIters = 256;
inline constexpr uint32_t kMinIters = 16;
inline constexpr uint32_t kMaxIters = 1'048'576;
/// A dispatch longer than this is slow; two in a row end the GPU load.
inline constexpr double kSlowDispatchMs = 250.0;

/// The work-size tuning carried from calibration into the run.
struct TuneState {
  uint32_t iters = kInitialIters;  // always within kMinIters..kMaxIters
  uint32_t slow_count = 0;         // consecutive slow dispatches
  bool slow = false;               // set once two in a row were slow; never cleared
  bool operator==(const TuneState&) const = default;
};

/// Counts slow dispatches and rescales iters towards a 20 ms dispatch after a dispatch
/// that took `ms`: factor 20/ms (8 for 0 ms), at most 0.5 above 60 ms, 0.6 above 30 ms,
/// 8 otherwise; the result is floored and clamped.
void adapt_iters(TuneState& state, double ms);

}  // namespace kestrune
