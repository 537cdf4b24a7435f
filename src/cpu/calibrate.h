#pragma once
#include <cstdint>

#include "cpu/kernel_state.h"

namespace kestrune {

/// Iterations in the timed calibration call.
inline constexpr uint32_t kCalibrationIters = 2000;

/// Iterations per kernel call so that a call takes about 20 microseconds, given that
/// kCalibrationIters iterations took `elapsed_ns`: 2000 when the clock did not advance,
/// otherwise round(20000 / (elapsed_ns / 2000)) half away from zero, clamped to
/// 64..1,000,000.
uint32_t iters_from_elapsed(uint64_t elapsed_ns);

/// Times the kernel of `kind` on a fresh state (one untimed warm-up call of 64
/// iterations, then one timed call of 2000) and returns iters_from_elapsed of it.
/// Runs on the calling thread, once per pool start.
uint32_t calibrate_iters(KernelKind kind);

/// The same with an injected monotonic clock in nanoseconds.
uint32_t calibrate_iters(KernelKind kind, uint64_t (*clock_ns)());

}  // namespace kestrune
