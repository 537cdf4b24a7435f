#include "os/stdin_read.h"

namespace kestrune::os {

ReadResult classify_stdin_read(StdinKind kind, bool ok, size_t bytes, uint32_t error,
                               bool pipe_connected) {
  if (!ok) {
    if (error == kErrorMoreData) {
      return bytes > 0 ? ReadResult{ReadStatus::Data, bytes} : ReadResult{ReadStatus::Interrupted, 0};
    }
    if (error == kErrorOperationAborted) return {ReadStatus::Interrupted, 0};
    return {ReadStatus::End, 0};  // broken pipe and every other failure: input is over
  }
  if (bytes > 0) return {ReadStatus::Data, bytes};
  // 0 bytes and success: end of file on a file or device, a zero-length write on a pipe.
  return kind == StdinKind::Pipe && pipe_connected ? ReadResult{ReadStatus::Interrupted, 0}
                                                   : ReadResult{ReadStatus::End, 0};
}

bool console_read_ends_input(const char16_t* units, size_t count) {
  return count > 0 && units[0] == u'\x1A';
}

}  // namespace kestrune::os
