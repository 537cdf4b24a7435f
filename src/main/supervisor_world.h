#pragma once
// The supervisor's narrow window on the world: every effect of a command or a tick goes
// through here, so the decisions themselves are plain functions of state, message and now.

#include <cstdint>
#include <optional>
#include <string>

#include "cpu/cpu_features.h"
#include "cpu/cpu_pool.h"
#include "os/probes.h"
#include "protocol/events.h"

namespace kestrune {

class SupervisorWorld {
 public:
  virtual ~SupervisorWorld() = default;
  /// Hands an event to the writer; never waits.
  virtual void emit(Event event) = 0;
  virtual os::Elevation probe_elevation() = 0;
  virtual os::JobAnswer probe_job() = 0;
  /// The instance lock's answer; only the first call acts, later calls return it cached.
  virtual os::LockAnswer acquire_instance_lock() = 0;
  /// Opens the controller's process for watching; false when it cannot be opened.
  virtual bool open_parent(uint32_t pid) = 0;
  /// Zero-timeout wait on the opened parent: true while it runs.
  virtual bool parent_alive() = 0;
  virtual CpuPoolStart start_cpu_pool(std::optional<uint32_t> workers) = 0;
  virtual bool start_gpu_thread(const std::optional<std::string>& adapter_hint) = 0;
  /// Stores the duty words the load threads follow.
  virtual void write_duties(uint32_t cpu_e4, uint32_t gpu_e4) = 0;
  /// Output progress, for the stall watchdog.
  virtual uint64_t output_pending() = 0;
  virtual uint64_t output_last_write_ms() = 0;
  virtual uint32_t process_id() = 0;
  virtual CpuFeatures cpu_features() = 0;
};

}  // namespace kestrune
