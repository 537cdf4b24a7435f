// What each message, command and tick does to the run.

#include "main/supervisor.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "io/intake.h"
#include "protocol/error_codes.h"
#include "util/rounding.h"

namespace kestrune {

std::string cut_nonce(std::string_view text) {
  constexpr size_t kMaxChars = 64;
  size_t chars = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const bool starts_char = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (starts_char && chars++ == kMaxChars) break;
  }
  return std::string(text.substr(0, i));
}

void send_hello(SupervisorState& s, SupervisorWorld& world) {
  if (s.hello_sent) return;
  s.hello_sent = true;
  const CpuFeatures features = world.cpu_features();
  Hello h;
  h.v = 1;
  h.nonce = s.nonce;
  h.pid = world.process_id();
  h.isa = isa_text(features);
  h.isa_max = isa_max_text(features);
  h.workers = s.workers;
  h.gpu = s.gpu_info;
  h.elevated = false;  // an elevated run never gets this far
  h.in_job = true;     // nor does one outside a kill-on-close job
  h.lab = false;
  world.emit(std::move(h));
}

namespace {

// The one freshness rule: a heartbeat has been seen and the last one is younger than the
// timeout. `heartbeat_expired` is its other side (seen, and too old).
bool heartbeat_fresh(const SupervisorState& s, uint64_t now) {
  return s.hb_seen && elapsed_ms(now, s.last_hb_ms) < s.hb_timeout_ms;
}

bool heartbeat_expired(const SupervisorState& s, uint64_t now) {
  return s.hb_seen && !heartbeat_fresh(s, now);
}

}  // namespace

uint32_t duty_to_e4(double duty) {
  if (!std::isfinite(duty) || duty <= 0.0) return 0;
  const double scaled = std::round((duty < 1.0 ? duty : 1.0) * 10000.0);
  return static_cast<uint32_t>(scaled);  // within 0..10000 after the clamp above
}

void publish_duties(SupervisorState& s, SupervisorWorld& world, uint64_t now) {
  const double dt = static_cast<double>(elapsed_ms(now, s.last_acct_ms)) / 1000.0;
  s.cpu_s += s.applied_cpu * dt;
  s.gpu_s += s.applied_gpu * dt;
  s.last_acct_ms = now;

  // Load only while the run is announced and the controller's heartbeat is fresh.
  const bool fresh = s.started && s.hello_sent && heartbeat_fresh(s, now);
  s.applied_cpu = fresh && s.cpu_running ? s.cpu_reg.duty : 0.0;
  s.applied_gpu = fresh && s.gpu_usable ? s.gpu_reg.duty : 0.0;
  world.write_duties(duty_to_e4(s.applied_cpu), duty_to_e4(s.applied_gpu));
}

namespace {

constexpr uint64_t kHelloWaitMs = 2500;
// What a start may ask for is held within these bounds.
constexpr uint64_t kMinHbTimeoutMs = 500;
constexpr uint64_t kMaxHbTimeoutMs = 3000;
constexpr uint64_t kMinRunS = 30;
constexpr uint64_t kMaxRunS = 1800;

Outcome bad_line(SupervisorState& s, SupervisorWorld& world, std::string detail, uint64_t now) {
  auto answer = report_bad_line(s.bad_line_times, std::move(detail), now,
                                [&](Event e) { world.emit(std::move(e)); });
  return answer == BadLineAnswer::Protocol ? Outcome(StopReason::Protocol) : std::nullopt;
}

Outcome on_start(SupervisorState& s, SupervisorWorld& world, const StartCmd& cmd, uint64_t now) {
  if (s.started) return bad_line(s, world, "start twice", now);
  if (cmd.v != 1) return StopReason::BadVersion;

  // All three probes are asked before any answer counts.
  const auto elevation = world.probe_elevation();
  const auto job = world.probe_job();
  const auto lock = world.acquire_instance_lock();
  if (elevation != os::Elevation::NotElevated) return StopReason::Elevated;
  if (job != os::JobAnswer::Yes) return StopReason::NoJob;
  if (lock != os::LockAnswer::Held) return StopReason::Already;

  s.started = true;
  s.nonce = cut_nonce(cmd.nonce);

  s.parent_state = (cmd.parent_pid != 0 && world.open_parent(cmd.parent_pid)) ? ParentState::Alive
                                                                               : ParentState::Gone;
  s.last_parent_check_ms = now;

  s.start_ms = now;
  s.hb_timeout_ms = std::clamp(cmd.hb_timeout_ms, kMinHbTimeoutMs, kMaxHbTimeoutMs);
  s.max_run_ms = std::clamp(cmd.max_run_s, kMinRunS, kMaxRunS) * 1000;
  s.last_acct_ms = now;

  if (cmd.cpu.enable) {
    const CpuPoolStart pool = world.start_cpu_pool(cmd.cpu.workers);
    if (!pool.ok()) {
      world.emit(Error{pool.error(), std::nullopt});
      return StopReason::Fatal;
    }
    s.cpu_running = true;
    s.workers = pool.value();
  }

  s.hello_due = true;
  if (cmd.gpu.enable && world.start_gpu_thread(cmd.gpu.adapter_hint)) {
    s.hello_deadline_ms = now + kHelloWaitMs;  // the hello waits for the GPU's Init
  } else {
    s.gpu_info = GpuInfo{};
    if (cmd.gpu.enable) s.gpu_info.err = error_code::kNoAdapter;
    s.hello_deadline_ms = now;
    send_hello(s, world);
  }

  // The run watchdogs, at once: a start without a usable parent ends here.
  if (s.parent_state == ParentState::Gone) return StopReason::ParentGone;
  if (heartbeat_expired(s, now)) return StopReason::HbTimeout;
  return std::nullopt;
}

Outcome on_set(SupervisorState& s, SupervisorWorld& world, const SetCmd& cmd, uint64_t now) {
  if (!s.started) return bad_line(s, world, "set before start", now);
  world.emit(Ack{cmd.seq});
  if (s.last_set_seq && cmd.seq <= *s.last_set_seq) return std::nullopt;  // acknowledged, stale
  s.last_set_seq = cmd.seq;
  s.cpu_reg.apply_mode(cmd.cpu, s.cpu_running, now);
  s.gpu_reg.apply_mode(cmd.gpu, s.gpu_usable, now);
  publish_duties(s, world, now);
  return std::nullopt;
}

Outcome on_power(SupervisorState& s, SupervisorWorld& world, const PowerCmd& cmd, uint64_t now) {
  if (!s.started) return bad_line(s, world, "power before start", now);
  if (s.hello_sent && heartbeat_fresh(s, now)) {
    s.cpu_reg.apply_reading(cmd.cpu_w, now);
    s.gpu_reg.apply_reading(cmd.gpu_w, now);
  }
  publish_duties(s, world, now);
  return std::nullopt;
}

}  // namespace

Outcome handle_command(SupervisorState& s, SupervisorWorld& world, const Command& cmd, uint64_t now) {
  return std::visit(
      [&](const auto& c) -> Outcome {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, StartCmd>) {
          return on_start(s, world, c, now);
        } else if constexpr (std::is_same_v<T, SetCmd>) {
          return on_set(s, world, c, now);
        } else if constexpr (std::is_same_v<T, PowerCmd>) {
          return on_power(s, world, c, now);
        } else if constexpr (std::is_same_v<T, HbCmd>) {
          s.hb_seen = true;
          s.last_hb_ms = now;
          return std::nullopt;
        } else {
          return StopReason::Stop;
        }
      },
      cmd);
}

Outcome handle_message(SupervisorState& s, SupervisorWorld& world, SupervisorMsg msg, uint64_t now) {
  return std::visit(
      [&](auto& m) -> Outcome {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, Line> || std::is_same_v<T, LineTooLong>) {
          IntakeResult in = intake_line(std::move(m), now, s.bad_line_times,
                                        [&](Event e) { world.emit(std::move(e)); });
          if (in.outcome == IntakeOutcome::Protocol) return StopReason::Protocol;
          if (in.outcome == IntakeOutcome::Handled) return std::nullopt;
          return handle_command(s, world, *in.command, now);
        } else if constexpr (std::is_same_v<T, StdinClosed> || std::is_same_v<T, StdoutFailed>) {
          return StopReason::StdinClosed;
        } else if constexpr (std::is_same_v<T, WorkerFailed>) {
          world.emit(Error{error_code::kTimer, std::nullopt});
          return StopReason::Fatal;
        } else if constexpr (std::is_same_v<T, GpuInit>) {
          // Only the hello it was waiting for; a late report is dropped for good.
          if (s.hello_due && !s.hello_sent) {
            s.gpu_info = std::move(m.info);
            s.gpu_usable = s.gpu_info.ok;
            send_hello(s, world);
          }
          return std::nullopt;
        } else if constexpr (std::is_same_v<T, GpuFailed>) {
          s.gpu_usable = false;
          s.gpu_reg.switch_off(now);
          world.emit(Error{std::move(m.code), std::move(m.detail)});
          publish_duties(s, world, now);
          return std::nullopt;
        } else {
          static_assert(std::is_same_v<T, GpuSample>);
          s.dispatch_ms = round1(m.ms);  // a non-finite time gives 0
          return std::nullopt;
        }
      },
      msg);
}

namespace {

constexpr uint64_t kOutputStallMs = 3000;
constexpr uint64_t kParentCheckMs = 250;
constexpr uint64_t kFirstHeartbeatGraceMs = 10000;
constexpr uint64_t kStatusEveryMs = 250;

DomainStatus domain_status(const PowerRegulator& reg, double applied) {
  DomainStatus d;
  d.mode = reg.mode;
  d.duty = round3(applied);
  d.target_w = round_optional(reg.target_w, 1);
  d.power_stale = reg.stale;
  return d;
}

Status build_status(const SupervisorState& s, uint64_t now) {
  Status st;
  st.t_ms = elapsed_ms(now, s.start_ms);
  st.cpu = domain_status(s.cpu_reg, s.applied_cpu);
  st.gpu = domain_status(s.gpu_reg, s.applied_gpu);
  if (s.applied_gpu > 0.0 && s.gpu_reg.mode != DomainMode::Off) st.gpu.dispatch_ms = s.dispatch_ms;
  return st;
}

}  // namespace

Outcome tick(SupervisorState& s, SupervisorWorld& world, uint64_t now) {
  // 1. Nobody reads our output.
  if (world.output_pending() != 0 && elapsed_ms(now, world.output_last_write_ms()) >= kOutputStallMs)
    return StopReason::StdinClosed;

  // 2. The GPU kept the hello waiting too long.
  if (s.hello_due && !s.hello_sent && now >= s.hello_deadline_ms) {
    s.gpu_info = GpuInfo{};
    s.gpu_info.err = error_code::kGpuSlow;
    s.gpu_usable = false;
    send_hello(s, world);
  }

  // 3. The controller's process.
  if (s.started) {
    if (elapsed_ms(now, s.last_parent_check_ms) >= kParentCheckMs) {
      s.last_parent_check_ms = now;
      if (s.parent_state == ParentState::Alive && !world.parent_alive()) s.parent_state = ParentState::Gone;
    }
    if (s.parent_state == ParentState::Gone) return StopReason::ParentGone;
  }

  // 4. Heartbeats, with a grace for the first one.
  if (s.hb_seen) {
    if (heartbeat_expired(s, now)) return StopReason::HbTimeout;
  } else {
    const uint64_t reference = s.started ? s.start_ms : s.loop_start_ms;
    if (elapsed_ms(now, reference) >= kFirstHeartbeatGraceMs) return StopReason::HbTimeout;
  }

  // 5. The run limit.
  if (s.started && elapsed_ms(now, s.start_ms) >= s.max_run_ms) return StopReason::MaxRun;

  // 6.-7. Readings that stopped coming, then the duties.
  s.cpu_reg.check_stale(now);
  s.gpu_reg.check_stale(now);
  publish_duties(s, world, now);

  // 8. Status every 250 ms once the hello is out; a schedule 250 ms behind restarts.
  if (s.hello_sent && now >= s.next_status_ms) {
    s.next_status_ms = s.next_status_ms + kStatusEveryMs > now ? s.next_status_ms + kStatusEveryMs
                                                               : now + kStatusEveryMs;
    world.emit(build_status(s, now));
  }
  return std::nullopt;
}

}  // namespace kestrune
