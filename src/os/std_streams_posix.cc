#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "os/std_streams.h"

namespace kestrune::os {
namespace {

// Descriptor 1 until take_stdout moves the output aside; -1 when there was none to take.
std::atomic<int> g_out_fd{1};

}  // namespace

void take_stdout() {
  // Above the standard three, so that nothing later mistakes it for one of them.
  const int own = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  g_out_fd.store(own);  // without an output to take, every write fails as it would have
  // Descriptor 1 stays occupied either way: a file opened later must not become the output.
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd > 1) {
    (void)::dup2(null_fd, 1);
    (void)::close(null_fd);
  } else if (null_fd == 0) {
    // Standard input was closed too: /dev/null filled its place, not the output's.
    (void)::dup2(0, 1);
  }
  // Without /dev/null at all descriptor 1 stays what it was: the events still go to the
  // private duplicate.
}

ReadResult read_stdin(char* buf, size_t cap) {
  ssize_t n = ::read(0, buf, cap);
  if (n > 0) return {ReadStatus::Data, static_cast<size_t>(n)};
  if (n < 0 && errno == EINTR) return {ReadStatus::Interrupted, 0};
  return {ReadStatus::End, 0};
}

size_t write_stdout(const char* data, size_t len) {
  for (;;) {
    ssize_t n = ::write(g_out_fd.load(std::memory_order_relaxed), data, len);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && errno == EINTR) continue;  // nothing written yet: try again
    return 0;
  }
}

// write(2) has no user-space buffer: once it returns, the bytes are in the pipe.
bool flush_stdout() { return true; }

}  // namespace kestrune::os
