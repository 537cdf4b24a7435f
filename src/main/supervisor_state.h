#pragma once
// Everything the control loop remembers between messages. Owned by the supervisor thread.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "power/power_regulator.h"
#include "protocol/events.h"

namespace kestrune {

enum class ParentState : uint8_t { NotWatched, Alive, Gone };

struct SupervisorState {
  bool started = false;
  uint64_t start_ms = 0;
  uint64_t loop_start_ms = 0;
  bool hb_seen = false;
  uint64_t last_hb_ms = 0;
  uint64_t hb_timeout_ms = 1500;
  uint64_t max_run_ms = 780000;
  std::string nonce;
  std::deque<uint64_t> bad_line_times;
  std::optional<uint64_t> last_set_seq;
  bool cpu_running = false;
  uint32_t workers = 0;
  bool gpu_usable = false;
  bool hello_due = false;
  uint64_t hello_deadline_ms = 0;
  bool hello_sent = false;
  GpuInfo gpu_info;
  std::optional<double> dispatch_ms;
  ParentState parent_state = ParentState::NotWatched;
  uint64_t last_parent_check_ms = 0;
  PowerRegulator cpu_reg;
  PowerRegulator gpu_reg;
  double applied_cpu = 0.0;
  double applied_gpu = 0.0;
  double cpu_s = 0.0;
  double gpu_s = 0.0;
  uint64_t last_acct_ms = 0;
  uint64_t next_status_ms = 0;

  /// The state at loop entry: the references for the grace and the accounting are `now`.
  static SupervisorState at_loop_entry(uint64_t now_ms) {
    SupervisorState s;
    s.loop_start_ms = now_ms;
    s.last_acct_ms = now_ms;
    return s;
  }
};

}  // namespace kestrune
