#pragma once
// The console half of reading standard input, apart from ReadConsoleW so that a test can
// hand it what a console would.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "os/std_streams.h"

namespace kestrune::os {

/// One console read: fills `units` with at most `want` UTF-16 units and sets `got`;
/// false when the read failed.
using ConsoleUnitsRead = std::function<bool(wchar_t* units, uint32_t want, uint32_t& got)>;

/// One read of standard input from a console, as UTF-8 in `buf`: a read that starts with
/// Ctrl-Z, a failed read and an empty one are the end of input.
ReadResult read_console(const ConsoleUnitsRead& read, char* buf, size_t cap);

}  // namespace kestrune::os
