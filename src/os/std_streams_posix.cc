#include <unistd.h>

#include <cerrno>

#include "os/std_streams.h"

namespace kestrune::os {

ReadResult read_stdin(char* buf, size_t cap) {
  ssize_t n = ::read(0, buf, cap);
  if (n > 0) return {ReadStatus::Data, static_cast<size_t>(n)};
  if (n < 0 && errno == EINTR) return {ReadStatus::Interrupted, 0};
  return {ReadStatus::End, 0};
}

size_t write_stdout(const char* data, size_t len) {
  for (;;) {
    ssize_t n = ::write(1, data, len);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && errno == EINTR) continue;  // nothing written yet: try again
    return 0;
  }
}

// write(2) has no user-space buffer: once it returns, the bytes are in the pipe.
bool flush_stdout() { return true; }

}  // namespace kestrune::os
