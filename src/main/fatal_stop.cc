#include "main/fatal_stop.h"

#include <atomic>
#include <exception>

#include "main/final_stop.h"
#include "os/clock.h"
#include "os/thread.h"

namespace kestrune {
namespace {

// A failed thread waits this long for the supervisor's final stop to end the process
// (it answers within a tick, and the final stop's own waits are far shorter).
constexpr uint32_t kSupervisorGraceMs = 2000;

std::atomic<Runtime*> g_runtime{nullptr};
std::atomic<const SupervisorState*> g_totals{nullptr};
std::atomic<bool> g_final_stop_begun{false};
thread_local bool t_is_supervisor = false;

[[noreturn]] void exit_fatal() noexcept { os::terminate_process(stop_reason_code(StopReason::Fatal)); }

[[noreturn]] void on_terminate() { fatal_stop_here(); }
[[noreturn]] void on_thread_failure() { fatal_stop_here(); }

}  // namespace

void install_fatal_handlers() {
  t_is_supervisor = true;
  std::set_terminate(&on_terminate);
  os::set_thread_failure_handler(&on_thread_failure);
}

void arm_fatal_stop(Runtime& rt) { g_runtime.store(&rt); }

void track_fatal_totals(const SupervisorState& s) { g_totals.store(&s); }

void mark_final_stop_begun() noexcept { g_final_stop_begun.store(true); }

void fatal_stop_here() noexcept {
  Runtime* rt = g_runtime.load();
  if (rt == nullptr || !rt->control) exit_fatal();
  if (!t_is_supervisor) {
    // Another thread: the totals and the final stop belong to the supervisor. Nothing
    // here allocates; if the supervisor cannot act in time, end the process anyway.
    rt->control->fatal_requested.store(true);
    for (uint32_t waited = 0; waited < kSupervisorGraceMs; waited += 10) os::sleep_ms(10);
    exit_fatal();
  }
  if (g_final_stop_begun.load()) exit_fatal();
  const SupervisorState* s = g_totals.load();
  // A failure inside the final stop calls terminate, which comes back here and exits.
  final_stop(*rt, StopReason::Fatal, s ? s->cpu_s : 0.0, s ? s->gpu_s : 0.0);
}

}  // namespace kestrune
