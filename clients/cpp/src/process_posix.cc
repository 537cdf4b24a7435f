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

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

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

Failure make_failure(Errc code, int system, std::string text) {
  Failure f;
  f.code = code;
  if (system != 0) f.system = std::error_code(system, std::generic_category());
  f.text = std::move(text);
  return f;
}

bool all_digits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
}

// `name` as a user: a user name, or a uid in decimal.
bool find_user(const std::string& name, uid_t& uid, gid_t& gid, Failure& failure) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int rc = 0;
  if (all_digits(name)) {
    errno = 0;
    char* end = nullptr;
    const unsigned long id = std::strtoul(name.c_str(), &end, 10);
    if (errno == 0 && *end == '\0' && id < 0xFFFFFFFFul) {
      rc = getpwuid_r(static_cast<uid_t>(id), &entry, buffer.data(), buffer.size(), &found);
    }
  } else {
    rc = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  }
  if (found == nullptr) {
    failure = make_failure(Errc::bad_option, rc, "no user `" + name + "` to start the helper as");
    return false;
  }
  if (found->pw_uid == 0) {
    failure = make_failure(Errc::bad_option, 0,
                           "user `" + name + "` is root, and the helper never runs as root");
    return false;
  }
  uid = found->pw_uid;
  gid = found->pw_gid;
  return true;
}

// The user a root controller runs the helper as: the one asked for, else the one sudo
// came from, else nobody.
bool unprivileged_user(const std::string& asked, uid_t& uid, gid_t& gid, Failure& failure) {
  if (!asked.empty()) return find_user(asked, uid, gid, failure);
  if (const char* sudo = std::getenv("SUDO_UID"); sudo != nullptr && all_digits(sudo)) {
    Failure ignored;
    if (find_user(sudo, uid, gid, ignored)) return true;
  }
  if (find_user("nobody", uid, gid, failure)) return true;
  failure = make_failure(Errc::bad_option, 0,
                         "running as root, and there is no unprivileged user to start the "
                         "helper as (StartOptions::user names one)");
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
  // Refers to this very process however long it has been gone: signals and waits through
  // it never reach another process that took over the pid. Absent on old kernels.
  Fd pidfd;
  bool reaped = false;  // by us, or seen gone: never signalled again
  std::int64_t exit_code = -1;
  Fd input;       // our end of the helper's standard input; changed under write_lock only
  Fd output;      // our end of the helper's standard output
  Fd go;          // written to let a suspended helper run
  Fd exec_error;  // reports a failure before exec; end of file when exec succeeded
  const char* source = "own";
  std::string path;  // for the failure line of a start that is confirmed late
  LineBuffer lines;
  std::mutex write_lock;  // a heartbeat thread writes too: whole lines only

  ~Impl() { end(); }

  void close_input() {
    const std::lock_guard lock(write_lock);
    input.reset();
  }

  void signal_kill() {
    if (reaped) return;
    if (pidfd.valid()) {
      ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0u);
    } else {
      ::kill(pid, SIGKILL);
    }
  }

  // One look (or a blocking wait) at the helper's state: true once it is settled.
  bool reap(bool block, Exit& result) {
    siginfo_t info{};
    const int flags = WEXITED | (block ? 0 : WNOHANG);
    int r;
    do {
      r = pidfd.valid() ? ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd.get()), &info, flags)
                        : ::waitid(P_PID, static_cast<id_t>(pid), &info, flags);
    } while (r < 0 && errno == EINTR);
    if (r == 0 && info.si_pid == 0) return false;  // still running
    reaped = true;
    if (r == 0) {
      exit_code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
      result.state = Exit::State::exited;
      result.code = exit_code;
      return true;
    }
    // ECHILD: reaped by someone else (SIGCHLD ignored, or a waitpid(-1) elsewhere). Its
    // pid may belong to another process by now.
    const int code = errno;
    exit_code = -1;
    result.state = Exit::State::unknown;
    result.failure = make_failure(Errc::wait_failed, code,
                                errno_text("waiting for the helper", code) +
                                    (code == ECHILD ? " (it was reaped elsewhere: is SIGCHLD ignored?)" : ""));
    failure_seen = result.failure;
    return true;
  }

  // Killed first: a heartbeat blocked on a full pipe holds the write lock until the helper
  // is gone.
  void end() {
    if (pid <= 0) return;
    signal_kill();
    close_input();
    if (!reaped) {
      Exit ignored;
      reap(/*block=*/true, ignored);
    }
  }

  Failure failure_seen;  // why the end could not be learnt, for later wait_exit() calls

  // Reads the exec report: true when exec happened.
  bool confirm_exec(Failure& failure) {
    ChildFailure report{};
    ssize_t n;
    do {
      n = ::read(exec_error.get(), &report, sizeof report);
    } while (n < 0 && errno == EINTR);
    exec_error.reset();
    if (n != static_cast<ssize_t>(sizeof report)) return true;
    Errc kind = Errc::start_failed;
    if (report.step == kStepExec && (report.code == ENOENT || report.code == ENOTDIR)) {
      kind = Errc::not_found;
    } else if (report.code == EACCES || (report.step == kStepExec && report.code == EPERM)) {
      kind = Errc::access_denied;
    }
    failure = make_failure(kind, report.code,
                           "cannot start " + path + ": " +
                               errno_text(kStepNames[report.step], report.code));
    Exit ignored;
    reap(/*block=*/true, ignored);
    return false;
  }
};

HelperProcess::HelperProcess(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
HelperProcess::HelperProcess(HelperProcess&&) noexcept = default;
HelperProcess& HelperProcess::operator=(HelperProcess&& other) noexcept {
  if (this != &other) {
    if (impl_) impl_->end();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
// A heartbeat may still hold the helper's state: the helper ends here all the same.
HelperProcess::~HelperProcess() {
  if (impl_) impl_->end();
}

std::optional<HelperProcess> HelperProcess::start(const StartOptions& options, Failure& failure) {
  failure = {};
  const std::string path = options.helper.string();
  bool drop = false;
  uid_t uid = 0;
  gid_t gid = 0;
  if (options.unelevated && ::geteuid() == 0) {
    if (!unprivileged_user(options.user, uid, gid, failure)) return std::nullopt;
    drop = true;
  } else if (!options.user.empty()) {
    if (!find_user(options.user, uid, gid, failure)) return std::nullopt;
    if (uid != ::geteuid()) {
      failure = make_failure(Errc::bad_option, 0,
                             "only a controller running as root can start the helper as `" +
                                 options.user + "`");
      return std::nullopt;
    }
  }
  Fd child_in, input, output, child_out, go_read, go_write, error_read, error_write, null_fd;
  if (!make_pipe(child_in, input) || !make_pipe(output, child_out) ||
      !make_pipe(error_read, error_write) || (options.suspended && !make_pipe(go_read, go_write))) {
    failure = make_failure(Errc::start_failed, errno, errno_text("pipe2", errno));
    return std::nullopt;
  }
  if (!options.inherit_stderr) {
    null_fd.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (null_fd.get() < 0) {
      failure = make_failure(Errc::start_failed, errno, errno_text("open /dev/null", errno));
      return std::nullopt;
    }
  }
  std::vector<std::string> environment;
  if (options.environment) {
    environment = *options.environment;
  } else {
    environment.assign(std::begin(kMinimalEnvironment), std::end(kMinimalEnvironment));
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed.
  std::vector<char> path_copy(path.begin(), path.end());
  path_copy.push_back('\0');
  char* argv[] = {path_copy.data(), nullptr};
  const pid_t parent = ::getpid();
  const bool death_signal = options.kill_on_close;

  const pid_t pid = ::fork();
  if (pid < 0) {
    failure = make_failure(Errc::start_failed, errno, errno_text("fork", errno));
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
    ::execve(argv[0], argv, envp.data());
    child_fail(report, kStepExec);
  }

  auto impl = std::make_shared<Impl>();
  impl->pid = pid;
  // At once, while the child cannot have been reaped: it has not exec'd yet, or it is
  // held by its report pipe until we read it.
  impl->pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u)));
  impl->input = std::move(input);
  impl->output = std::move(output);
  impl->go = std::move(go_write);
  impl->exec_error = std::move(error_read);
  impl->source = drop ? "user" : "own";
  impl->path = path;
  error_write.reset();  // so the report pipe ends at the child's exec
  if (!options.suspended && !impl->confirm_exec(failure)) return std::nullopt;
  return HelperProcess(std::move(impl));
}

std::uint32_t HelperProcess::pid() const { return static_cast<std::uint32_t>(impl_->pid); }
std::uint32_t HelperProcess::current_pid() { return static_cast<std::uint32_t>(::getpid()); }
std::string_view HelperProcess::token_source() const { return impl_->source; }
std::string_view HelperProcess::creation() const { return "fork"; }

bool HelperProcess::resume(Failure& failure) {
  if (impl_->go.get() < 0) return true;
  const char byte = 1;
  const bool sent = ::write(impl_->go.get(), &byte, 1) == 1;
  const int code = errno;
  impl_->go.reset();
  if (!sent) {
    failure = make_failure(Errc::start_failed, code, errno_text("resume", code));
    return false;
  }
  return impl_->confirm_exec(failure);
}

bool HelperProcess::write_to(Impl& impl, std::string_view bytes, Failure& failure) {
  const std::lock_guard lock(impl.write_lock);
  if (impl.input.get() < 0) {
    failure = make_failure(Errc::input_closed, 0, "the helper's input was closed by this process");
    return false;
  }
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
    const ssize_t n = ::write(impl.input.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      const int code = n < 0 ? errno : EIO;
      failure = code == EPIPE ? make_failure(Errc::helper_gone, code, "the helper's input is closed at its end")
                              : make_failure(Errc::io_failed, code, errno_text("writing to the helper", code));
      if (code == EPIPE && !was_pending) {
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

void HelperProcess::close_input() { impl_->close_input(); }

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

Exit HelperProcess::wait_exit(std::chrono::milliseconds timeout) {
  Exit result;
  if (impl_->reaped) {
    result.code = impl_->exit_code;
    result.state = impl_->failure_seen.code ? Exit::State::unknown : Exit::State::exited;
    result.failure = impl_->failure_seen;
    return result;
  }
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (impl_->reap(/*block=*/false, result)) return result;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return result;
    if (impl_->pidfd.valid()) {
      pollfd p{impl_->pidfd.get(), POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1000)));
    } else {
      const timespec nap{0, 1000000};  // 1 ms: exit is noticed promptly, at little cost
      ::nanosleep(&nap, nullptr);
    }
  }
}

void HelperProcess::kill() { impl_->signal_kill(); }

NativeHandle HelperProcess::take_input() {
  const std::lock_guard lock(impl_->write_lock);
  return impl_->input.release();
}
NativeHandle HelperProcess::take_output() { return impl_->output.release(); }

}  // namespace kestrune
