// Taking standard output for the writer, in a child process so that the test runner's own
// output stays where it is.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "os/std_streams.h"

namespace kestrune::os {
namespace std_streams_test {

constexpr char kEvent[] = "{\"ev\":\"x\"}\n";

bool is_dev_null(int fd) {
  struct stat a{}, b{};
  return ::fstat(fd, &a) == 0 && ::stat("/dev/null", &b) == 0 && S_ISCHR(a.st_mode) &&
         a.st_rdev == b.st_rdev;
}

// Whether every descriptor above the standard three that refers to the pipe `ino` is
// close-on-exec (true when there is none).
bool pipe_copies_close_on_exec(ino_t ino) {
  for (int fd = 3; fd < 256; ++fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_ino != ino) continue;
    if (!(::fcntl(fd, F_GETFD) & FD_CLOEXEC)) return false;
  }
  return true;
}

// Runs take_stdout in a child whose descriptor 1 is a pipe (or closed), then writes noise
// straight to descriptor 1 and one event through write_stdout. Returns what the pipe got;
// `exit_bits` gets 1 when the event was written whole, 2 when descriptor 1 ended on
// /dev/null, 4 when the writer's private copy of the pipe is not inherited by programs
// the process might start.
std::string run_child(bool input_open, bool output_open, int& exit_bits) {
  int p[2];
  if (::pipe(p) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here: the test runner has threads.
    ::close(p[0]);
    struct stat pipe_st{};
    (void)::fstat(p[1], &pipe_st);
    if (!input_open) ::close(0);
    if (output_open) ::dup2(p[1], 1);
    else ::close(1);
    ::close(p[1]);
    take_stdout();
    (void)!::write(1, "noise\n", 6);
    const size_t n = write_stdout(kEvent, std::strlen(kEvent));
    ::_exit((n == std::strlen(kEvent) ? 1 : 0) | (is_dev_null(1) ? 2 : 0) |
            (pipe_copies_close_on_exec(pipe_st.st_ino) ? 4 : 0));
  }
  ::close(p[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) != 0;) {
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    else if (errno != EINTR) break;
  }
  ::close(p[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  exit_bits = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return got;
}

TEST(TakeStdout, OnlyTheWriterReachesTheRealOutput) {
  struct Case {
    const char* what;
    bool input_open;
    bool output_open;
    std::string received;
    int exit_bits;
  } cases[] = {
      {"output open", true, true, kEvent, 7},
      {"standard input closed as well", false, true, kEvent, 7},
      {"no output: writes fail, descriptor 1 still taken", true, false, "", 6},
  };
  for (const Case& c : cases) {
    int bits = -1;
    EXPECT_EQ(run_child(c.input_open, c.output_open, bits), c.received) << c.what;
    EXPECT_EQ(bits, c.exit_bits) << c.what;
  }
}

}  // namespace std_streams_test
}  // namespace kestrune::os
