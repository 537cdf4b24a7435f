#pragma once
// The reader thread "stdin": frames standard input into lines for the supervisor.

#include <cstddef>
#include <functional>

#include "core/supervisor_msg.h"
#include "os/std_streams.h"

namespace kestrune {

/// Where the reader's bytes come from: os::read_stdin in the program, a script in tests.
using InputSource = std::function<os::ReadResult(char* buf, size_t cap)>;

/// Reads `input` in 8192-byte reads until it ends (a read of End), repeating interrupted
/// reads, and posts every framed `Line` / `LineTooLong` in input order, then `StdinClosed`
/// last. If a post finds the supervisor gone, the rest is dropped and nothing more is
/// posted.
void run_reader(CommandSender commands, const InputSource& input);

/// Body of the "stdin" thread: raises its own priority to above normal (ignoring
/// failure), then run_reader on standard input.
void reader_main(CommandSender commands);

/// Starts the "stdin" thread running reader_main. False when the thread could not be
/// started.
bool start_reader_thread(CommandSender commands);

}  // namespace kestrune
