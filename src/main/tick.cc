// The periodic pass of the supervisor, about every 100 ms.

#include "main/supervisor.h"
#include "protocol/error_codes.h"
#include "util/rounding.h"

namespace kestrune {
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
    if (elapsed_ms(now, s.last_hb_ms) >= s.hb_timeout_ms) return StopReason::HbTimeout;
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
