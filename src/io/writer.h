#pragma once
// The writer thread "stdout": writes queued event lines to a byte sink, standard output in
// the program.

#include <cstddef>
#include <memory>
#include <string>

#include "core/load_control.h"
#include "core/supervisor_msg.h"
#include "io/emit.h"
#include "util/channel.h"

namespace kestrune {

/// Standard output in the program; tests substitute their own to script partial
/// writes, failures and a blocked reader.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  /// Writes once; returns the bytes accepted, 0 on failure.
  virtual size_t write(const char* data, size_t len) = 0;
  /// Pushes written bytes towards the reader. False on failure.
  virtual bool flush() = 0;
};

/// The process's standard output (os::write_stdout, os::flush_stdout).
std::shared_ptr<OutputStream> make_stdout_stream();

/// Takes lines from the event queue, waiting without limit, and writes each one whole
/// (repeating partial writes; a write that accepts nothing is a failure), then flushes.
/// After each line: `pending` down by 1; on success `written` up by 1 and `last_write_ms`
/// set to now (ms since base_instant of `control`). On a failed write or flush it lets go
/// of the queue, so later lines are discarded by emit, posts `StdoutFailed` once and
/// returns. Returns quietly when the queue has no sender left.
void writer_main(Receiver<std::string> lines, CommandSender commands,
                 std::shared_ptr<EventCounters> counters, LoadControlRef control,
                 std::shared_ptr<OutputStream> out);

/// Starts the "stdout" thread (default priority) running writer_main on standard output.
/// False when the thread could not be started; the queue's receiving end is then gone,
/// so every emit discards its line.
bool start_writer_thread(Receiver<std::string> lines, CommandSender commands,
                         std::shared_ptr<EventCounters> counters, LoadControlRef control);

}  // namespace kestrune
