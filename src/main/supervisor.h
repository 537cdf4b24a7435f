#pragma once
// The supervisor: the state it keeps between messages, its narrow window on the world, and
// its decisions. Each message and each tick is a function of the state, the message and
// `now`, acting on the world only through SupervisorWorld. A handler answers "go on"
// (nullopt) or the reason to stop; only the control loop calls the final stop.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "core/supervisor_msg.h"
#include "cpu/cpu_features.h"
#include "cpu/cpu_pool.h"
#include "main/stop_reason.h"
#include "os/probes.h"
#include "power/power_regulator.h"
#include "protocol/command.h"
#include "protocol/events.h"

namespace kestrune {

enum class ParentState : uint8_t { NotWatched, Alive, Gone };

struct SupervisorState {
  bool started = false;
  uint64_t start_ms = 0;
  uint64_t loop_start_ms = 0;
  bool hb_seen = false;
  uint64_t last_hb_ms = 0;
  uint64_t hb_timeout_ms = kDefaultHbTimeoutMs;
  uint64_t max_run_ms = kDefaultMaxRunS * 1000;
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

using Outcome = std::optional<StopReason>;

/// Handles one message from the command queue.
Outcome handle_message(SupervisorState& s, SupervisorWorld& world, SupervisorMsg msg, uint64_t now);

/// Handles one decoded command.
Outcome handle_command(SupervisorState& s, SupervisorWorld& world, const Command& cmd, uint64_t now);

/// The periodic pass: watchdogs, overdue hello, staleness, publish, status.
Outcome tick(SupervisorState& s, SupervisorWorld& world, uint64_t now);

/// Accounts duty-seconds up to `now`, then computes and writes the duties in force.
void publish_duties(SupervisorState& s, SupervisorWorld& world, uint64_t now);

/// Emits the hello once; later calls do nothing.
void send_hello(SupervisorState& s, SupervisorWorld& world);

/// A duty fraction as the 1/10000 word: non-finite or <= 0 gives 0, at most 10000.
uint32_t duty_to_e4(double duty);

/// The run's nonce: the first 64 characters (whole scalar values) of valid UTF-8 text.
std::string cut_nonce(std::string_view text);

/// `now - then` in milliseconds, 0 when `then` is later.
inline uint64_t elapsed_ms(uint64_t now, uint64_t then) { return now > then ? now - then : 0; }

}  // namespace kestrune
