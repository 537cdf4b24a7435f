// What each message and command does to the run.

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "main/supervisor.h"
#include "protocol/error_codes.h"
#include "protocol/intake.h"
#include "util/rounding.h"

namespace kestrune {
namespace {

constexpr uint64_t kHelloWaitMs = 2500;

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
  s.hb_timeout_ms = std::clamp<uint64_t>(cmd.hb_timeout_ms, 500, 3000);
  s.max_run_ms = std::clamp<uint64_t>(cmd.max_run_s, 30, 1800) * 1000;
  s.last_acct_ms = now;

  if (cmd.cpu.enable) {
    const CpuPoolStart pool = world.start_cpu_pool(cmd.cpu.workers);
    if (pool.failed) {
      world.emit(Error{error_code::kCpuWorker, std::nullopt});
      return StopReason::Fatal;
    }
    s.cpu_running = true;
    s.workers = pool.workers;
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
  if (s.hb_seen && elapsed_ms(now, s.last_hb_ms) >= s.hb_timeout_ms) return StopReason::HbTimeout;
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

bool heartbeat_fresh(const SupervisorState& s, uint64_t now) {
  return s.hb_seen && elapsed_ms(now, s.last_hb_ms) < s.hb_timeout_ms;
}

Outcome on_power(SupervisorState& s, SupervisorWorld& world, const PowerCmd& cmd, uint64_t now) {
  if (!s.started) return bad_line(s, world, "power before start", now);
  if (s.hello_sent && heartbeat_fresh(s, now)) {
    s.cpu_reg.apply_reading(reading_is_valid(cmd.cpu_w), cmd.cpu_w.value_or(0.0), now);
    s.gpu_reg.apply_reading(reading_is_valid(cmd.gpu_w), cmd.gpu_w.value_or(0.0), now);
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

}  // namespace kestrune
