#pragma once
// Starting the helper the way its process contract asks, with pipes on its standard input
// and output, and talking to it over them. One interface, two implementations:
//
//  * Windows: the helper runs inside a fresh job with kill-on-close, with an unelevated
//    token (from an elevated process: the desktop shell's token, else the linked token),
//    with its three standard handles, which are inheritable only during the creation call.
//    Where the system takes a handle list (CreateProcessW, CreateProcessAsUserW) it
//    inherits only those; on the route an elevated administrator usually takes
//    (CreateProcessWithTokenW, which has no handle list) any handle this process made
//    inheritable may go along too.
//    The client's own starts are serialised, so one start's handles never reach another
//    helper; a process that another thread of the controller creates meanwhile can still
//    take them (see start()).
//  * POSIX: the helper never runs as root (a root controller starts it as
//    StartOptions::user, else the user in SUDO_UID, else `nobody`), in a session of its
//    own, with the parent-death signal set to SIGKILL after the change of user (a change
//    of credentials clears it). The signal follows the *thread* that started the helper:
//    start it from a thread that lives as long as the helper should.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "kestrune/error.h"

namespace kestrune {

#ifdef _WIN32
using NativeHandle = void*;  ///< A Windows HANDLE; null when absent.
#else
using NativeHandle = int;    ///< A file descriptor; -1 when absent.
#endif

struct StartOptions {
  std::filesystem::path helper;   ///< The helper executable, used as given (no search).
  /// Off only to show the helper a careless controller: no job (Windows) or no
  /// parent-death signal (POSIX). The helper refuses to start load without it.
  bool kill_on_close = true;
  /// Off only to show the helper a careless controller: keep this process's own token,
  /// elevated or not (Windows), or stay root (POSIX). The helper refuses to run elevated.
  bool unelevated = true;
  /// Hold the helper before its first instruction until resume().
  bool suspended = false;
  /// True: the helper writes its standard error where this process does. False: discarded.
  bool inherit_stderr = true;
  /// Pipe buffer size asked of Windows. Small keeps back-pressure reaching the helper.
  std::uint32_t pipe_size = 4096;
  /// POSIX, for a controller running as root: the user the helper runs as, by name or
  /// numeric uid. Empty: the user in SUDO_UID, else `nobody`. Root (uid 0) and unknown
  /// users are refused (Errc::bad_option), as is a user other than this process's own
  /// when it is not root. Windows has no such choice: a non-empty user fails the start.
  std::string user;
  /// The helper's whole environment, one "NAME=value" per entry. Absent: POSIX gives the
  /// helper only kMinimalEnvironment (the Vulkan loader reads its environment, so a
  /// controller's variables would steer which device the GPU load lands on); Windows
  /// passes this process's environment, as the system does by default.
  std::optional<std::vector<std::string>> environment;
};

/// The POSIX default environment of the helper.
inline constexpr const char* kMinimalEnvironment[] = {"PATH=/usr/bin:/bin"};

enum class ReadResult { line, timeout, end };

/// What wait_exit() learnt.
struct Exit {
  enum class State {
    running,  ///< Still running after the time given.
    exited,   ///< Ended; `code` is its exit code (POSIX: 128 + signal for a killed helper).
    unknown,  ///< Its end could not be learnt: see `failure` (POSIX: someone else reaped it).
  };
  State state = State::running;
  std::int64_t code = -1;
  Failure failure;
};

class Heartbeat;

/// One started helper. Destroying it (or assigning another to it) ends the helper if it
/// still runs, without its bye, and reaps it; see Session for the graceful end. Moving it
/// is safe while a Heartbeat feeds it: the heartbeat follows the helper, not the object.
class HelperProcess {
 public:
  /// Starts the helper. On failure returns nothing, with the reason in `failure`, and
  /// nothing is left running. Starts from several threads are safe and take turns.
  static std::optional<HelperProcess> start(const StartOptions& options, Failure& failure);
  /// The same, with only the failure's text.
  static std::optional<HelperProcess> start(const StartOptions& options, std::string& error);

  HelperProcess(HelperProcess&&) noexcept;
  HelperProcess& operator=(HelperProcess&&) noexcept;
  ~HelperProcess();

  /// The helper's process id.
  std::uint32_t pid() const;
  /// This process's id: what a controller sends as `parentPid`.
  static std::uint32_t current_pid();
  /// How the helper's token or user was chosen: "own", "shell", "linked" or "user".
  std::string_view token_source() const;
  /// The call that created the helper: "CreateProcessW", "CreateProcessAsUserW" or
  /// "CreateProcessWithTokenW" on Windows, "fork" on POSIX.
  std::string_view creation() const;

  /// Lets a helper started suspended run. False with a reason when it cannot.
  bool resume(Failure& failure);
  bool resume(std::string& error);

  /// Writes all of `bytes` to the helper's standard input, blocking while its pipe is
  /// full. False once the helper's input is closed or gone; `failure` says which.
  /// Safe from several threads: each write goes whole.
  bool write(std::string_view bytes, Failure& failure);
  bool write(std::string_view bytes);
  /// `line` and a newline, as one write.
  bool write_line(std::string_view line, Failure& failure);
  bool write_line(std::string_view line);
  /// Closes the helper's standard input: it sees end of input. Safe beside writes on other
  /// threads (a heartbeat's): they fail from then on.
  void close_input();

  /// The next line of the helper's output without its newline, waiting at most `timeout`.
  /// `end` once its output has ended (any partial last line is returned first). A line
  /// longer than 1 MiB ends the output too: the helper never writes one.
  ReadResult read_line(std::string& line, std::chrono::milliseconds timeout);

  /// Waits at most `timeout` for the helper to end and says what it learnt. The helper
  /// is reaped here; a helper that was reaped (or whose end could not be read) is never
  /// signalled afterwards, so no other process that took over its pid is hit.
  Exit wait_exit(std::chrono::milliseconds timeout);
  /// wait_exit() in short: the exit code, -1 for an end that could not be learnt, nothing
  /// while the helper still runs.
  std::optional<std::int64_t> wait(std::chrono::milliseconds timeout);
  /// Ends the helper at once, without its bye: for emergencies, or after the bye did not
  /// come in time. Does nothing once the helper was reaped.
  void kill();

  /// Hands the pipe ends over to a caller that moves bytes itself; it owns them after
  /// this. write(), read_line() and close_input() then do nothing.
  NativeHandle take_input();
  NativeHandle take_output();

  struct Impl;

 private:
  friend class Heartbeat;
  explicit HelperProcess(std::shared_ptr<Impl> impl);
  static bool write_to(Impl& impl, std::string_view bytes, Failure& failure);
  // Shared with a Heartbeat only, so that moving this object leaves the heartbeat's
  // helper in place; the helper still ends with this object.
  std::shared_ptr<Impl> impl_;
};

}  // namespace kestrune
