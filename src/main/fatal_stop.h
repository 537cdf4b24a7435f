#pragma once
// Ends the run with reason "fatal" when an exception (an allocation failure above all)
// escapes any thread, or std::terminate is reached, instead of an abort whose exit code
// a controller would read as some other reason.

#include "main/runtime.h"
#include "main/supervisor.h"

namespace kestrune {

/// Installs the handlers; call first thing on the supervisor thread. Until
/// arm_fatal_stop, a failure ends the process with the "fatal" exit code directly.
void install_fatal_handlers();

/// From now on a failure runs the final stop with reason "fatal": on the supervisor
/// itself, or, from another thread, by raising `fatal_requested` for the supervisor's
/// loop. `rt` lives to the process end.
void arm_fatal_stop(Runtime& rt);

/// The totals the fatal bye reports; `s` lives to the process end. Supervisor thread.
void track_fatal_totals(const SupervisorState& s);

/// The failure path on the current thread (a catch-all calls it). Never returns; ends
/// with the "fatal" exit code when the final stop cannot run.
[[noreturn]] void fatal_stop_here() noexcept;

/// Called as the final stop begins, so that a failure inside it ends the process rather
/// than starting it a second time.
void mark_final_stop_begun() noexcept;

}  // namespace kestrune
