#pragma once
// The CPU worker pool: how many workers, how they are started, and the body of each one,
// which burns for the duty's share of every period and sleeps on its own timer for the rest.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/load_control.h"
#include "core/supervisor_msg.h"
#include "core/timer_wait.h"
#include "cpu/cpu_features.h"
#include "cpu/kernel_state.h"
#include "util/result.h"

namespace kestrune {

/// Number of CPU workers for a pool: a requested count w gives 1 when w is 0, else
/// min(w, logical); none requested gives max(logical - 1, 1), leaving one logical
/// processor free. `logical` below 1 counts as 1.
uint32_t worker_count(std::optional<uint32_t> requested, uint32_t logical);

/// Counts of what a worker did, for tests and benchmarks; the product passes none.
struct WorkerStats {
  std::atomic<uint64_t> kernel_calls{0};
  /// Burn slices ended; each folded its state into `result_sink` once.
  std::atomic<uint64_t> burns{0};
  /// Timer waits begun.
  std::atomic<uint64_t> waits{0};
};

/// What one worker is started with; moved into its thread.
struct WorkerConfig {
  /// For `WorkerFailed`; a failed send is ignored.
  CommandSender commands;
  LoadControlRef control;
  /// 0-based; also the number in the thread name.
  uint32_t index = 0;
  /// Workers in the pool: with `index`, fixes the phase offset.
  uint32_t count = 1;
  /// Kernel iterations per call, from the calibration.
  uint32_t iters = 64;
  KernelKind kind = KernelKind::Sse2;
  std::shared_ptr<WorkerStats> stats;
  /// Where its timer comes from; never null.
  const TimerSource* timers = &os_timers();
};

/// Runs until the stop flag is seen or its timer fails. Counts itself into
/// `threads_started` first and out of `threads_exited` last; posts `WorkerFailed` when no
/// timer can be created, armed or waited on.
void cpu_worker_main(WorkerConfig config);

/// The number of workers started, or "cpuWorker" when a thread could not be started (the
/// workers already running stay until the stop).
using CpuPoolStart = Result<uint32_t>;

/// Starts the CPU workers "burn-0"... on the supervisor thread (calibrates first).
CpuPoolStart start_cpu_pool(const CommandSender& commands, const LoadControlRef& control,
                            const CpuFeatures& features, std::optional<uint32_t> requested);

}  // namespace kestrune
