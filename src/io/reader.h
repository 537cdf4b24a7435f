#pragma once
// The reader thread "stdin": frames standard input into lines for the supervisor.

#include <cstddef>

#include "core/supervisor_msg.h"
#include "os/std_streams.h"

namespace kestrune {

/// Where the reader's bytes come from: standard input in the program; tests substitute
/// their own to script reads, interruptions and floods.
class InputStream {
 public:
  virtual ~InputStream() = default;
  /// Reads at most `cap` bytes into `buf` once.
  virtual os::ReadResult read(char* buf, size_t cap) = 0;
};

/// Most lines the reader leaves waiting in the command queue. At the bound it stops
/// reading, so a controller that writes faster than the supervisor works is held back by
/// the pipe instead of growing the queue.
inline constexpr size_t kQueuedLineLimit = 1024;

/// Reads `input` in 8192-byte reads until it ends (a read of End), repeating interrupted
/// reads, and posts every framed `Line` / `LineTooLong` in input order, then `StdinClosed`
/// last. While `line_limit` of its lines are queued it waits before posting more (and so
/// before reading more); nothing is dropped. If a post finds the supervisor gone, the
/// rest is dropped and nothing more is posted.
void run_reader(CommandSender commands, InputStream& input,
                size_t line_limit = kQueuedLineLimit);

/// Body of the "stdin" thread: asks for above-normal priority (the POSIX backend keeps it
/// at the process's base, above the load threads), then run_reader on standard input.
void reader_main(CommandSender commands);

/// Starts the "stdin" thread running reader_main. False when the thread could not be
/// started.
bool start_reader_thread(CommandSender commands);

}  // namespace kestrune
