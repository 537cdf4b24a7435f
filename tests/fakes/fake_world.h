#pragma once
// A scripted stand-in for the supervisor's world: records what the supervisor does and
// answers its questions from fields the test sets.

#include <optional>
#include <string>
#include <vector>

#include "main/supervisor.h"

namespace kestrune::testing {

class FakeWorld : public SupervisorWorld {
 public:
  // What the world answers.
  os::Elevation elevation = os::Elevation::NotElevated;
  os::JobAnswer job = os::JobAnswer::Yes;
  os::LockAnswer lock = os::LockAnswer::Held;
  bool parent_opens = true;
  bool parent_running = true;
  CpuPoolStart pool{3u};
  bool gpu_thread_starts = true;
  uint64_t pending = 0;
  uint64_t last_write_ms = 0;
  CpuFeatures features{true, true, false};

  // What the supervisor did.
  std::vector<Event> events;
  int probe_calls = 0;
  std::optional<uint32_t> opened_parent;
  std::optional<std::optional<uint32_t>> pool_request;
  std::optional<std::optional<std::string>> gpu_hint;
  uint32_t cpu_e4 = 0;
  uint32_t gpu_e4 = 0;
  int duty_writes = 0;

  void emit(Event e) override { events.push_back(std::move(e)); }
  os::Elevation probe_elevation() override { ++probe_calls; return elevation; }
  os::JobAnswer probe_job() override { ++probe_calls; return job; }
  os::LockAnswer acquire_instance_lock() override { ++probe_calls; return lock; }
  bool open_parent(uint32_t pid) override {
    opened_parent = pid;
    return parent_opens;
  }
  bool parent_alive() override { return parent_running; }
  CpuPoolStart start_cpu_pool(std::optional<uint32_t> workers) override {
    pool_request = workers;
    return pool;
  }
  bool start_gpu_thread(const std::optional<std::string>& hint) override {
    gpu_hint = hint;
    return gpu_thread_starts;
  }
  void write_duties(uint32_t c, uint32_t g) override {
    cpu_e4 = c;
    gpu_e4 = g;
    ++duty_writes;
  }
  uint64_t output_pending() override { return pending; }
  uint64_t output_last_write_ms() override { return last_write_ms; }
  uint32_t process_id() override { return 4242; }
  CpuFeatures cpu_features() override { return features; }

  /// Events of one kind, in order.
  template <class T>
  std::vector<T> all() const {
    std::vector<T> out;
    for (const auto& e : events)
      if (auto* p = std::get_if<T>(&e)) out.push_back(*p);
    return out;
  }
};

}  // namespace kestrune::testing
