#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "kestrune/process.h"
#include "line_buffer.h"
#include "unique_handle.h"

extern char** environ;

namespace kestrune {
namespace {

using Clock = std::chrono::steady_clock;

struct FdTraits {
  using Raw = int;
  static constexpr Raw none() { return -1; }
  static constexpr bool valid(Raw fd) { return fd >= 0; }
  static void close(Raw fd) { ::close(fd); }
};

using Fd = detail::BasicUniqueHandle<FdTraits>;

bool make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  return true;
}

std::string errno_text(const char* what, int code) {
  return std::string(what) + " failed: " + std::strerror(code);
}

// The user a root controller runs the helper as: the one sudo came from, else nobody.
bool unprivileged_user(uid_t& uid, gid_t& gid, std::string& error) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (const char* sudo = std::getenv("SUDO_UID"); sudo != nullptr && *sudo != '\0') {
    char* end = nullptr;
    const unsigned long id = std::strtoul(sudo, &end, 10);
    if (*end == '\0' && id != 0 && id < 0xFFFFFFFFul &&
        getpwuid_r(static_cast<uid_t>(id), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
      uid = found->pw_uid;
      gid = found->pw_gid;
      return true;
    }
  }
  if (getpwnam_r("nobody", &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_uid != 0) {
    uid = found->pw_uid;
    gid = found->pw_gid;
    return true;
  }
  error = "running as root, and there is no unprivileged user to start the helper as";
  return false;
}

// What the child reports through the error pipe when a step before exec fails.
struct ChildFailure {
  int step;
  int code;
};
constexpr const char* kStepNames[] = {"redirecting standard streams", "dropping root",
                                      "setting the parent-death signal", "exec"};
enum Step { kStepStdio, kStepUser, kStepDeathSignal, kStepExec };

[[noreturn]] void child_fail(int error_fd, int step) {
  const ChildFailure failure{step, errno};
  [[maybe_unused]] const ssize_t n = ::write(error_fd, &failure, sizeof failure);
  ::_exit(127);
}

// Closes every descriptor from `from` up that is neither `keep_a` nor `keep_b`, so the
// helper inherits nothing of the controller's but its standard streams.
void close_others(int keep_a, int keep_b) {
#ifdef SYS_close_range
  if (keep_a > keep_b) std::swap(keep_a, keep_b);
  unsigned lo = 3;
  for (int keep : {keep_a, keep_b}) {
    if (keep < static_cast<int>(lo)) continue;
    if (static_cast<unsigned>(keep) > lo) ::syscall(SYS_close_range, lo, static_cast<unsigned>(keep) - 1, 0u);
    lo = static_cast<unsigned>(keep) + 1;
  }
  ::syscall(SYS_close_range, lo, ~0u, 0u);
#else
  static_cast<void>(keep_a);
  static_cast<void>(keep_b);
#endif
}

}  // namespace

struct HelperProcess::Impl {
  pid_t pid = -1;
  bool reaped = false;
  std::int64_t exit_code = 0;
  Fd input;       // our end of the helper's standard input
  Fd output;      // our end of the helper's standard output
  Fd go;          // written to let a suspended helper run
  Fd exec_error;  // reports a failure before exec; end of file when exec succeeded
  const char* source = "own";
  std::string path;  // for the failure line of a start that is confirmed late
  LineBuffer lines;
  std::mutex write_lock;  // a heartbeat thread writes too: whole lines only

  ~Impl() {
    if (pid > 0 && !reaped) {
      ::kill(pid, SIGKILL);
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }

  // Reads the exec report: true when exec happened.
  bool confirm_exec(std::string& error) {
    ChildFailure failure{};
    ssize_t n;
    do {
      n = ::read(exec_error.get(), &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    exec_error.reset();
    if (n != static_cast<ssize_t>(sizeof failure)) return true;
    error = "cannot start " + path + ": " + errno_text(kStepNames[failure.step], failure.code);
    int status = 0;
    ::waitpid(pid, &status, 0);
    reaped = true;
    return false;
  }
};

HelperProcess::HelperProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HelperProcess::HelperProcess(HelperProcess&&) noexcept = default;
HelperProcess& HelperProcess::operator=(HelperProcess&&) noexcept = default;
HelperProcess::~HelperProcess() = default;

std::optional<HelperProcess> HelperProcess::start(const StartOptions& options, std::string& error) {
  const std::string path = options.helper.string();
  bool drop = false;
  uid_t uid = 0;
  gid_t gid = 0;
  if (options.unelevated && ::geteuid() == 0) {
    if (!unprivileged_user(uid, gid, error)) return std::nullopt;
    drop = true;
  }
  Fd child_in, input, output, child_out, go_read, go_write, error_read, error_write, null_fd;
  if (!make_pipe(child_in, input) || !make_pipe(output, child_out) ||
      !make_pipe(error_read, error_write) || (options.suspended && !make_pipe(go_read, go_write))) {
    error = errno_text("pipe2", errno);
    return std::nullopt;
  }
  if (!options.inherit_stderr) {
    null_fd.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (null_fd.get() < 0) {
      error = errno_text("open /dev/null", errno);
      return std::nullopt;
    }
  }
  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed.
  std::vector<char> path_copy(path.begin(), path.end());
  path_copy.push_back('\0');
  char* argv[] = {path_copy.data(), nullptr};
  const pid_t parent = ::getpid();
  const bool death_signal = options.kill_on_close;

  const pid_t pid = ::fork();
  if (pid < 0) {
    error = errno_text("fork", errno);
    return std::nullopt;
  }
  if (pid == 0) {
    const int report = error_write.get();
    ::setsid();
    if (::dup2(child_in.get(), 0) < 0 || ::dup2(child_out.get(), 1) < 0 ||
        (null_fd.get() >= 0 && ::dup2(null_fd.get(), 2) < 0)) {
      child_fail(report, kStepStdio);
    }
    if (drop && (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
                 ::setresuid(uid, uid, uid) != 0)) {
      child_fail(report, kStepUser);
    }
    if (death_signal) {
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) child_fail(report, kStepDeathSignal);
      // The controller may have died before the signal was armed.
      if (::getppid() != parent) ::_exit(127);
    }
    close_others(report, go_read.get());
    if (go_read.get() >= 0) {
      char byte = 0;
      ssize_t n;
      do {
        n = ::read(go_read.get(), &byte, 1);
      } while (n < 0 && errno == EINTR);
      if (n != 1) ::_exit(127);  // dropped without resume()
    }
    ::execve(argv[0], argv, environ);
    child_fail(report, kStepExec);
  }

  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  impl->input = std::move(input);
  impl->output = std::move(output);
  impl->go = std::move(go_write);
  impl->exec_error = std::move(error_read);
  impl->source = drop ? "user" : "own";
  impl->path = path;
  error_write.reset();  // so the report pipe ends at the child's exec
  if (!options.suspended && !impl->confirm_exec(error)) return std::nullopt;
  return HelperProcess(std::move(impl));
}

std::uint32_t HelperProcess::pid() const { return static_cast<std::uint32_t>(impl_->pid); }
std::uint32_t HelperProcess::current_pid() { return static_cast<std::uint32_t>(::getpid()); }
std::string_view HelperProcess::token_source() const { return impl_->source; }
std::string_view HelperProcess::creation() const { return "fork"; }

bool HelperProcess::resume(std::string& error) {
  if (impl_->go.get() < 0) return true;
  const char byte = 1;
  const bool sent = ::write(impl_->go.get(), &byte, 1) == 1;
  impl_->go.reset();
  if (!sent) {
    error = errno_text("resume", errno);
    return false;
  }
  return impl_->confirm_exec(error);
}

bool HelperProcess::write(std::string_view bytes) {
  const std::lock_guard lock(impl_->write_lock);
  if (impl_->input.get() < 0) return false;
  // A helper that is gone must give a failed write, not a SIGPIPE that ends the controller:
  // block the signal on this thread and take away any it raised.
  sigset_t pipe_set, old_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  bool ok = true;
  while (!bytes.empty()) {
    const ssize_t n = ::write(impl_->input.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      if (errno == EPIPE && !was_pending) {
        const timespec zero{0, 0};
        ::sigtimedwait(&pipe_set, nullptr, &zero);
      }
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  return ok;
}

void HelperProcess::close_input() { impl_->input.reset(); }

ReadResult HelperProcess::read_line(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (impl_->lines.take(line)) return ReadResult::line;
    if (impl_->output.get() < 0 || impl_->lines.overflowed()) {
      impl_->output.reset();
      return impl_->lines.take_rest(line) ? ReadResult::line : ReadResult::end;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{impl_->output.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return ReadResult::timeout;
    char chunk[4096];
    const ssize_t n = ::read(impl_->output.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      impl_->output.reset();
      continue;
    }
    impl_->lines.append(std::string_view(chunk, static_cast<size_t>(n)));
  }
}

std::optional<std::int64_t> HelperProcess::wait(std::chrono::milliseconds timeout) {
  if (impl_->reaped) return impl_->exit_code;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(impl_->pid, &status, WNOHANG);
    if (r == impl_->pid) {
      impl_->reaped = true;
      impl_->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return impl_->exit_code;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    const timespec nap{0, 1000000};  // 1 ms: exit is noticed promptly, at little cost
    ::nanosleep(&nap, nullptr);
  }
}

void HelperProcess::kill() {
  if (!impl_->reaped) ::kill(impl_->pid, SIGKILL);
}

NativeHandle HelperProcess::take_input() { return impl_->input.release(); }
NativeHandle HelperProcess::take_output() { return impl_->output.release(); }

}  // namespace kestrune
