#pragma once
// The supervisor's decisions: each message and each tick is a function of the state, the
// message and `now`, acting on the world only through SupervisorWorld. A handler answers
// "go on" (nullopt) or the reason to stop; only the control loop calls the final stop.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "main/stop_reason.h"
#include "main/supervisor_msg.h"
#include "main/supervisor_state.h"
#include "main/supervisor_world.h"
#include "protocol/command.h"

namespace kestrune {

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
