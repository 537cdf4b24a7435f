#pragma once
// What one ReadFile on standard input means, apart from the call itself so that it can be
// tested on every platform. A controller's zero-length WriteFile completes a read on a
// pipe with 0 bytes and success, which is not the end of input there; a closed pipe fails
// the read. Files and other devices keep end-of-file semantics.

#include <cstddef>
#include <cstdint>

#include "os/std_streams.h"

namespace kestrune::os {

enum class StdinKind { Pipe, Other };

/// The Win32 error codes the decision needs (winerror.h values).
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorMoreData = 234;

/// The outcome of a read that returned `ok` with `bytes` read and, when it failed, `error`.
/// A message-mode pipe fails a read that fills the buffer before the message ends with
/// ERROR_MORE_DATA: those bytes are data and the rest follows in the next read.
/// `pipe_connected` is whether a peek at the pipe right after the read succeeded; it is
/// asked only after a 0-byte success on a pipe, and a failed peek (a socket's end of
/// stream, a pipe broken meanwhile) ends input there, so such a read never repeats forever.
ReadResult classify_stdin_read(StdinKind kind, bool ok, size_t bytes, uint32_t error,
                               bool pipe_connected);

/// Ctrl-Z typed at a console arrives as U+001A. A console read that starts with it is the
/// end of input, as for other console programs; one elsewhere in a read is plain data.
/// `units` are the UTF-16 code units of one console read.
bool console_read_ends_input(const char16_t* units, size_t count);

}  // namespace kestrune::os
