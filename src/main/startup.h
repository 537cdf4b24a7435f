#pragma once

namespace kestrune {

/// The process's life from entry: start-up, then the control loop. Never returns.
[[noreturn]] void run_program();

}  // namespace kestrune
