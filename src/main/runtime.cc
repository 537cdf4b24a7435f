#include "main/runtime.h"

#include <chrono>

#include "main/final_stop.h"
#include "main/supervisor.h"
#include "os/thread.h"

namespace kestrune {

void RuntimeWorld::emit(Event event) { kestrune::emit(rt_.output, std::move(event)); }
os::Elevation RuntimeWorld::probe_elevation() { return os::probe_elevation(); }
os::JobAnswer RuntimeWorld::probe_job() { return rt_.variant.probe_job(); }
os::LockAnswer RuntimeWorld::acquire_instance_lock() { return rt_.instance_lock.acquire(); }

bool RuntimeWorld::open_parent(uint32_t pid) {
  rt_.parent = os::ParentWatch::open(pid);
  return rt_.parent != nullptr;
}

bool RuntimeWorld::parent_alive() { return rt_.parent && rt_.parent->alive(); }

CpuPoolStart RuntimeWorld::start_cpu_pool(std::optional<uint32_t> workers) {
  return kestrune::start_cpu_pool(rt_.commands, rt_.control, rt_.features, workers);
}

bool RuntimeWorld::start_gpu_thread(const std::optional<std::string>& adapter_hint) {
  return kestrune::start_gpu_thread(rt_.commands, adapter_hint, rt_.control, rt_.gpu_platform);
}

void RuntimeWorld::write_duties(uint32_t cpu_e4, uint32_t gpu_e4) {
  rt_.control->cpu_duty_e4.store(cpu_e4, std::memory_order_relaxed);
  rt_.control->gpu_duty_e4.store(gpu_e4, std::memory_order_relaxed);
}

uint64_t RuntimeWorld::output_pending() { return rt_.output.counters->pending.load(); }
uint64_t RuntimeWorld::output_last_write_ms() { return rt_.output.counters->last_write_ms.load(); }
uint32_t RuntimeWorld::process_id() { return os::current_process_id(); }
CpuFeatures RuntimeWorld::cpu_features() { return rt_.features; }

namespace {
constexpr uint64_t kTickMs = 100;
}

void run_control_loop(SupervisorState& s, Runtime& rt, CommandReceiver& inbox) {
  RuntimeWorld world(rt);
  const LoadControl& control = *rt.control;
  auto stop = [&](StopReason reason) { final_stop(rt, reason, s.cpu_s, s.gpu_s); };

  uint64_t next_tick_ms = control.now_ms() + kTickMs;
  for (;;) {
    // Sleep in the queue until a message or the next tick: the supervisor never polls.
    const uint64_t now_before = control.now_ms();
    const uint64_t wait_ms = next_tick_ms > now_before ? next_tick_ms - now_before : 0;
    auto received = inbox.recv_for(std::chrono::milliseconds(wait_ms));
    if (received.status == RecvStatus::Disconnected) stop(StopReason::StdinClosed);

    const uint64_t now = control.now_ms();
    if (received.status == RecvStatus::Message) {
      if (Outcome out = handle_message(s, world, std::move(*received.item), now)) stop(*out);
    }
    if (now >= next_tick_ms) {
      if (Outcome out = tick(s, world, now)) stop(*out);
      next_tick_ms = now + kTickMs;
    }
    if (control.fatal_requested.load()) stop(StopReason::Fatal);
  }
}

}  // namespace kestrune
