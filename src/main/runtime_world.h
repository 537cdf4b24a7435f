#pragma once
#include "main/runtime.h"
#include "main/supervisor_world.h"

namespace kestrune {

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

}  // namespace kestrune
