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

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "kestrune/process.h"
#include "launcher/relay.h"

namespace kestrune::launcher {
using kestrune::HelperProcess;
using kestrune::StartOptions;
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

bool parse_arguments(int argc, wchar_t** argv, StartOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--no-job") {
      options.kill_on_close = false;
    } else if (arg == L"--elevated") {
      options.unelevated = false;
    } else if (arg.rfind(L"--", 0) == 0 || !options.helper.empty() || arg.empty()) {
      return false;
    } else {
      options.helper = arg;
    }
  }
  return !options.helper.empty();
}

// One of this process's standard handles, taken over by a relay. Made non-inheritable
// before the helper starts, so it cannot leak into the helper where the system ignores the
// inherit list: a helper holding the launcher's stdout would keep a test's read from
// ending after the launcher died.
UniqueHandle take_std_handle(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return {};
  SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  return UniqueHandle(h);
}

int run(StartOptions options) {
  UniqueHandle our_input = take_std_handle(STD_INPUT_HANDLE);
  UniqueHandle our_output = take_std_handle(STD_OUTPUT_HANDLE);
  // The helper gets its own copy of our standard error; this one stays ours alone.
  if (HANDLE err = GetStdHandle(STD_ERROR_HANDLE); err != nullptr && err != INVALID_HANDLE_VALUE) {
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, 0);
  }

  options.suspended = true;
  options.inherit_stderr = true;
  options.pipe_size = kPipeSize;
  std::string error;
  std::optional<HelperProcess> helper = HelperProcess::start(options, error);
  if (!helper) {
    say("kestrune-launch: cannot start the helper: " + error + "\n");
    return kStartFailedExit;
  }

  // Said before the helper runs, so it is the first line on standard error.
  say("launcher pid " + std::to_string(GetCurrentProcessId()) + " child pid " +
      std::to_string(helper->pid()) + "\n");

  UniqueHandle output_relay =
      start_relay(UniqueHandle(helper->take_output()), std::move(our_output));
  // Never joined: it may sit in a read of our standard input until the process ends.
  UniqueHandle input_relay = start_relay(std::move(our_input), UniqueHandle(helper->take_input()));

  if (!helper->resume(error)) {
    say("kestrune-launch: " + error + "\n");
    helper->kill();
    return kStartFailedExit;
  }

  // The launcher lives exactly as long as the helper: the helper bounds its own run.
  std::optional<std::int64_t> code;
  while (!(code = helper->wait(std::chrono::hours(1)))) {
  }
  // Everything the helper wrote reaches our standard output before we end.
  if (output_relay.valid()) WaitForSingleObject(output_relay.get(), kDrainMs);
  return static_cast<int>(*code);
}

}  // namespace
}  // namespace kestrune::launcher

int wmain(int argc, wchar_t** argv) {
  kestrune::StartOptions options;
  if (!kestrune::launcher::parse_arguments(argc, argv, options)) {
    return kestrune::launcher::usage();
  }
  return kestrune::launcher::run(std::move(options));
}
