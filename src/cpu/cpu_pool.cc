#include "cpu/cpu_pool.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "core/duty_period.h"
#include "core/timer_wait.h"
#include "cpu/calibrate.h"
#include "cpu/kernel_state.h"
#include "os/thread.h"
#include "os/waitable_timer.h"
#include "protocol/error_codes.h"

namespace kestrune {

uint32_t worker_count(std::optional<uint32_t> requested, uint32_t logical) {
  const uint32_t p = std::max(logical, 1u);
  if (requested) return *requested == 0 ? 1u : std::min(*requested, p);
  return std::max(p - 1, 1u);
}

namespace {

void count(const std::shared_ptr<WorkerStats>& stats, std::atomic<uint64_t> WorkerStats::*field) {
  if (stats) ((*stats).*field).fetch_add(1, std::memory_order_relaxed);
}

uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Calls the kernel until `deadline`, at least once, leaving early on a stop or a duty of
// 0; then folds the state into the shared sink.
void burn_until(const WorkerConfig& cfg, KernelState& state, uint64_t deadline) {
  LoadControl& c = *cfg.control;
  do {
    burn(state, cfg.iters);
    count(cfg.stats, &WorkerStats::kernel_calls);
    if (c.stop_requested.load() || c.cpu_duty_e4.load(std::memory_order_relaxed) == 0) break;
  } while (c.now_ns() < deadline);
  c.result_sink.fetch_xor(float_bits(reduce_state(state)), std::memory_order_relaxed);
  count(cfg.stats, &WorkerStats::burns);
}

// The period steps, until one says to end.
void run_periods(const WorkerConfig& cfg, os::WaitableTimer& timer, KernelState& state) {
  LoadControl& c = *cfg.control;
  const uint64_t offset = phase_offset_ns(cfg.index, cfg.count);
  // The boundary the last idle wait was aimed at, until the next burn.
  std::optional<uint64_t> aimed;
  for (;;) {
    const uint32_t duty = c.cpu_duty_e4.load(std::memory_order_relaxed);
    const uint64_t at = c.now_ns();
    const DutySlice slice = aimed ? choose_slice_after_wait(at, offset, duty, *aimed)
                                  : choose_slice(at, offset, duty);
    if (slice.burn) {
      aimed.reset();
      burn_until(cfg, state, slice.deadline_ns);
      if (c.stop_requested.load()) return;
      continue;
    }
    aimed = slice.deadline_ns;
    const uint64_t now = c.now_ns();
    const uint64_t remaining = slice.deadline_ns > now ? slice.deadline_ns - now : 0;
    if (c.stop_requested.load()) return;
    if (remaining == 0) continue;
    count(cfg.stats, &WorkerStats::waits);
    const WaitOutcome w = timer_wait(timer, remaining / 1'000'000'000u,
                                     static_cast<uint32_t>(remaining % 1'000'000'000u), c.stop());
    if (w == WaitOutcome::WaitFailed) {
      (void)cfg.commands.send(WorkerFailed{});
      return;
    }
    if (c.stop_requested.load()) return;
  }
}

}  // namespace

void cpu_worker_main(WorkerConfig config) {
  LoadControl& c = *config.control;
  c.threads_started.fetch_add(1);
  os::set_current_thread_priority(os::ThreadPriority::BelowNormal);
  {
    std::unique_ptr<os::WaitableTimer> timer = config.timers->create();
    if (!timer) {
      (void)config.commands.send(WorkerFailed{});
    } else {
      KernelState state = make_kernel_state(config.kind);
      if (!c.stop_requested.load()) run_periods(config, *timer, state);
    }
    // The state and the timer go here, before the thread counts itself out.
  }
  c.threads_exited.fetch_add(1);
}

namespace {

// Workers need little stack: their state lives in registers and one small block.
constexpr size_t kWorkerStack = 0x40000;

}  // namespace

CpuPoolStart start_cpu_pool(const CommandSender& commands, const LoadControlRef& control,
                            const CpuFeatures& features, std::optional<uint32_t> requested) {
  const uint32_t n = worker_count(requested, os::logical_processor_count());
  const KernelKind kind = kernel_kind_for(features);
  const uint32_t iters = calibrate_iters(kind);
  for (uint32_t i = 0; i < n; ++i) {
    WorkerConfig cfg{commands, control, i, n, iters, kind, nullptr};
    const std::string name = "burn-" + std::to_string(i);
    const bool started =
        os::start_thread(name.c_str(), kWorkerStack,
                         [cfg = std::move(cfg)]() mutable { cpu_worker_main(std::move(cfg)); });
    // Workers already running stay until the stop.
    if (!started) return fail(error_code::kCpuWorker);
  }
  return n;
}

}  // namespace kestrune
