#pragma once
#include "main/runtime.h"

namespace kestrune {

/// The process's life from entry: start-up, then the control loop. Never returns.
[[noreturn]] void run_program(const ProgramVariant& variant);

}  // namespace kestrune
