#include "cpu/calibrate.h"

#include <cmath>

#include "os/clock.h"

namespace kestrune {
namespace {

constexpr uint32_t kMinIters = 64;
constexpr uint32_t kMaxIters = 1'000'000;
constexpr double kCallNs = 20000.0;

// Double to unsigned: negative or NaN gives 0, 2^64 and above saturate.
uint64_t to_u64_saturating(double r) {
  if (!(r > 0.0)) return 0;
  if (r >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(r);
}

}  // namespace

uint32_t iters_from_elapsed(uint64_t elapsed_ns) {
  if (elapsed_ns == 0) return kCalibrationIters;
  const double per_iter_ns = static_cast<double>(elapsed_ns) / kCalibrationIters;
  const uint64_t r = to_u64_saturating(std::round(kCallNs / per_iter_ns));
  if (r < kMinIters) return kMinIters;
  if (r > kMaxIters) return kMaxIters;
  return static_cast<uint32_t>(r);
}

uint32_t calibrate_iters(KernelKind kind, uint64_t (*clock_ns)()) {
  KernelState state = make_kernel_state(kind);
  burn(state, 64);
  const uint64_t t0 = clock_ns();
  burn(state, kCalibrationIters);
  const uint64_t t1 = clock_ns();
  const uint32_t iters = iters_from_elapsed(t1 > t0 ? t1 - t0 : 0);
  // A volatile store of the result keeps the timed call from being dropped.
  volatile float barrier = reduce_state(state);
  (void)barrier;
  return iters;
}

uint32_t calibrate_iters(KernelKind kind) { return calibrate_iters(kind, os::monotonic_ns); }

}  // namespace kestrune
