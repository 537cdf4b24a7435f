#pragma once
// The supervisor thread's long-lived handles, the real world behind its decisions, and the
// control loop that feeds it messages and ticks.

#include <cstdint>
#include <memory>
#include <optional>

#include "core/load_control.h"
#include "core/supervisor_msg.h"
#include "cpu/cpu_features.h"
#include "gpu/gpu_thread.h"
#include "io/emit.h"
#include "main/supervisor.h"
#include "os/probes.h"

namespace kestrune {

/// The single-instance lock: the first acquire acts, every later one returns the answer.
struct InstanceLock {
  std::optional<os::LockAnswer> answer;  // empty: untried

  os::LockAnswer acquire() {
    if (!answer) answer = os::take_instance_lock();
    return *answer;
  }
};

/// What differs between the shipped program and its Wine test builds; chosen by each
/// program's entry.
struct ProgramVariant {
  /// The start command's kill-on-close check.
  os::JobAnswer (*probe_job)() = os::probe_job;
  /// What the GPU set-up may fall back on: nothing in the shipped program.
  GpuSetupOptions gpu;
};

struct Runtime {
  ProgramVariant variant;
  InstanceLock instance_lock;
  /// Opened by the start command, never closed: the process end releases it.
  std::unique_ptr<os::ParentWatch> parent;
  CommandSender commands;
  EventOutput output;  // event-queue sender, shared counters, queued_count
  LoadControlRef control;
  CpuFeatures features;
  /// The GPU thread's platform, made once.
  std::shared_ptr<GpuPlatform> gpu_platform;
};

/// The real world behind the supervisor's decisions.
class RuntimeWorld final : public SupervisorWorld {
 public:
  explicit RuntimeWorld(Runtime& rt) : rt_(rt) {}
  void emit(Event event) override;
  os::Elevation probe_elevation() override;
  os::JobAnswer probe_job() override;
  os::LockAnswer acquire_instance_lock() override;
  bool open_parent(uint32_t pid) override;
  bool parent_alive() override;
  CpuPoolStart start_cpu_pool(std::optional<uint32_t> workers) override;
  bool start_gpu_thread(const std::optional<std::string>& adapter_hint) override;
  void write_duties(uint32_t cpu_e4, uint32_t gpu_e4) override;
  uint64_t output_pending() override;
  uint64_t output_last_write_ms() override;
  uint32_t process_id() override;
  CpuFeatures cpu_features() override;

 private:
  Runtime& rt_;
};

/// Waits on the command queue with a deadline at the next tick, handles each message and
/// ticks about every 100 ms. Never returns: every way out is the final stop.
[[noreturn]] void run_control_loop(SupervisorState& state, Runtime& rt, CommandReceiver& inbox);

}  // namespace kestrune
