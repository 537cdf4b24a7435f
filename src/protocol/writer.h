#pragma once
// The writer thread "stdout": writes queued event lines to standard output.

#include <memory>
#include <string>

#include "main/load_control.h"
#include "main/supervisor_msg.h"
#include "protocol/event_counters.h"
#include "protocol/output_stream.h"
#include "util/channel.h"

namespace kestrune {

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
