#include "main/control_loop.h"

#include <chrono>

#include "main/final_stop.h"
#include "main/runtime_world.h"
#include "main/supervisor.h"

namespace kestrune {
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
