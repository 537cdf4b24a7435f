#pragma once
// The body of one CPU worker thread: burns for the duty's share of every 100 ms period
// and sleeps on its own waitable timer for the rest.

#include <atomic>
#include <cstdint>
#include <memory>

#include "cpu/kernel_state.h"
#include "main/load_control.h"
#include "main/supervisor_msg.h"

namespace kestrune {

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
};

/// Runs until the stop flag is seen or its timer fails. Counts itself into
/// `threads_started` first and out of `threads_exited` last; posts `WorkerFailed` when no
/// timer can be created, armed or waited on.
void cpu_worker_main(WorkerConfig config);

}  // namespace kestrune
