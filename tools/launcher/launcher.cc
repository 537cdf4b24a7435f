// kestrune-launch: the reference controller's way of starting the load helper. It starts the
// helper unelevated inside a kill-on-close job with pipes on its standard input and output,
// relays both streams byte for byte, and exits with the helper's exit code. End-to-end tests
// and the demo talk to the helper through it.
//
//   kestrune-launch.exe [--no-job] [--elevated] HELPER.exe
//
// --no-job and --elevated break the contract on purpose, so tests can watch the helper
// refuse. The first line on standard error is "launcher pid <pid> child pid <pid>": the
// Windows process ids a test needs (under Wine they are not Linux pids), for instance to
// name this process as the helper's parent.

#include <windows.h>

#include <string>
#include <utility>

#include "launcher/helper_process.h"
#include "launcher/relay.h"
#include "launcher/unique_handle.h"

namespace kestrune::launcher {
namespace {

// Outside the helper's own exit codes, so a test can tell the launcher's failures apart.
constexpr int kUsageExit = 125;
constexpr int kStartFailedExit = 126;

// Small pipes: a helper whose output nobody reads must block soon, as it would when its
// real controller stops reading.
constexpr DWORD kPipeSize = 4096;
// How long the output may still drain after the helper ended; a grandchild could hold the
// pipe open for ever.
constexpr DWORD kDrainMs = 5000;

void say(const std::string& text) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int usage() {
  say("usage: kestrune-launch.exe [--no-job] [--elevated] HELPER.exe\n");
  return kUsageExit;
}

bool parse_arguments(int argc, wchar_t** argv, HelperOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--no-job") {
      options.in_job = false;
    } else if (arg == L"--elevated") {
      options.keep_token = true;
    } else if (arg.rfind(L"--", 0) == 0 || !options.path.empty() || arg.empty()) {
      return false;
    } else {
      options.path = arg;
    }
  }
  return !options.path.empty();
}

// One of this process's standard handles, taken over by a relay. Made non-inheritable so it
// cannot leak into the helper where the system ignores the inherit list: a helper holding
// the launcher's stdout would keep a test's read from ending after the launcher died.
UniqueHandle take_std_handle(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return {};
  SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  return UniqueHandle(h);
}

// The helper writes its standard error where the launcher does, or to NUL if there is none.
UniqueHandle inheritable_stderr() {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  UniqueHandle copy;
  if (err != nullptr && err != INVALID_HANDLE_VALUE) {
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, 0);
    if (DuplicateHandle(GetCurrentProcess(), err, GetCurrentProcess(), copy.put(), 0, TRUE,
                        DUPLICATE_SAME_ACCESS)) {
      return copy;
    }
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  copy.reset(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, nullptr));
  return copy;
}

// The default argument reads the error code before anything else can change it.
std::string failure(const char* what, DWORD code = GetLastError()) {
  return std::string(what) + " failed (error " + std::to_string(code) + ")";
}

int run(const HelperOptions& options) {
  // Pipe ends start non-inheritable; only the helper's two ends are then opened up.
  UniqueHandle input_read, input_write, output_read, output_write;
  if (!CreatePipe(input_read.put(), input_write.put(), nullptr, kPipeSize) ||
      !CreatePipe(output_read.put(), output_write.put(), nullptr, kPipeSize)) {
    say("kestrune-launch: " + failure("CreatePipe") + "\n");
    return kStartFailedExit;
  }
  if (!SetHandleInformation(input_read.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
      !SetHandleInformation(output_write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    say("kestrune-launch: " + failure("SetHandleInformation") + "\n");
    return kStartFailedExit;
  }
  UniqueHandle error_for_helper = inheritable_stderr();

  Helper helper;
  std::string error;
  const HelperStdio stdio{input_read.get(), output_write.get(), error_for_helper.get()};
  if (!start_helper_suspended(options, stdio, helper, error)) {
    say("kestrune-launch: cannot start the helper: " + error + "\n");
    return kStartFailedExit;
  }
  // The helper holds its own copies now; ours would keep its pipes from ever ending.
  input_read.reset();
  output_write.reset();
  error_for_helper.reset();

  // Said before the helper runs, so it is the first line on standard error.
  say("launcher pid " + std::to_string(GetCurrentProcessId()) + " child pid " +
      std::to_string(helper.pid) + "\n");

  UniqueHandle output_relay =
      start_relay(std::move(output_read), take_std_handle(STD_OUTPUT_HANDLE));
  // Never joined: it may sit in a read of our standard input until the process ends.
  UniqueHandle input_relay = start_relay(take_std_handle(STD_INPUT_HANDLE), std::move(input_write));

  if (ResumeThread(helper.thread.get()) == static_cast<DWORD>(-1)) {
    say("kestrune-launch: " + failure("ResumeThread") + "\n");
    TerminateProcess(helper.process.get(), 1);
    return kStartFailedExit;
  }
  helper.thread.reset();

  // The launcher lives exactly as long as the helper: the helper bounds its own run.
  WaitForSingleObject(helper.process.get(), INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(helper.process.get(), &code)) {
    say("kestrune-launch: " + failure("GetExitCodeProcess") + "\n");
    return kStartFailedExit;
  }
  // Everything the helper wrote reaches our standard output before we end.
  if (output_relay.valid()) WaitForSingleObject(output_relay.get(), kDrainMs);
  return static_cast<int>(code);
}

}  // namespace
}  // namespace kestrune::launcher

int wmain(int argc, wchar_t** argv) {
  kestrune::launcher::HelperOptions options;
  if (!kestrune::launcher::parse_arguments(argc, argv, options)) {
    return kestrune::launcher::usage();
  }
  return kestrune::launcher::run(options);
}
