#pragma once
#include "main/runtime.h"
#include "main/supervisor_state.h"

namespace kestrune {

/// Waits on the command queue with a deadline at the next tick, handles each message and
/// ticks about every 100 ms. Never returns: every way out is the final stop.
[[noreturn]] void run_control_loop(SupervisorState& state, Runtime& rt, CommandReceiver& inbox);

}  // namespace kestrune
