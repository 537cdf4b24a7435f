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
//  * POSIX: the helper never runs as root (a root controller starts it as the user in
//    SUDO_UID, else as `nobody`), in a session of its own, with the parent-death signal
//    set to SIGKILL after the change of user (a change of credentials clears it).
//    The signal follows the *thread* that started the helper: start it from a thread that
//    lives as long as the helper should.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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
};

enum class ReadResult { line, timeout, end };

/// One started helper. Destroying it ends the helper if it still runs and reaps it.
class HelperProcess {
 public:
  /// Starts the helper. On failure returns nothing, with a one-line reason in `error`,
  /// and nothing is left running.
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
  bool resume(std::string& error);

  /// Writes all of `bytes` to the helper's standard input, blocking while its pipe is
  /// full. False once the helper's input is closed or gone.
  bool write(std::string_view bytes);
  /// `line` and a newline, as one write.
  bool write_line(std::string_view line);
  /// Closes the helper's standard input: it sees end of input.
  void close_input();

  /// The next line of the helper's output without its newline, waiting at most `timeout`.
  /// `end` once its output has ended (any partial last line is returned first). A line
  /// longer than 1 MiB ends the output too: the helper never writes one.
  ReadResult read_line(std::string& line, std::chrono::milliseconds timeout);

  /// The exit code once the helper has ended (POSIX: 128 + signal for a killed helper),
  /// nothing if it still runs after `timeout`; -1 if it ended but its code cannot be read.
  std::optional<std::int64_t> wait(std::chrono::milliseconds timeout);
  /// Ends the helper at once, without its bye.
  void kill();

  /// Hands the pipe ends over to a caller that moves bytes itself; it owns them after
  /// this. write(), read_line() and close_input() then do nothing.
  NativeHandle take_input();
  NativeHandle take_output();

  struct Impl;

 private:
  explicit HelperProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
