// kestrune-first-check: what a real Windows machine does with the helper, in one screen.
// Starts the helper beside it (or the one given as the only argument) the way the client
// does, first without any load to see whether its parent watch holds (with the GPU asked
// the helper would end before its hello when the watch fails, and the one verdict an
// elevated run is for would be lost), then with a few seconds of CPU and GPU load, and
// once more with this process's own token. It prints what it found: which token and
// creation call were used, the elevation the helper read, whether its parent watch held,
// the waitable timer kind, the GPU adapter and whether the shader compiled, and the
// helper's CPU time against its duty-seconds. Every line is printed whatever happened
// before it. Run it once from an ordinary prompt and once from an elevated one.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "kestrune/client.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLoadTime = 4s;  // free mode reaches full duty in 4 s of readings

bool this_process_elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

// The helper asks for the same kind of timer and falls back the same way.
const char* timer_kind() {
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (timer == nullptr) return "standard (duty windows and stop waits move in steps of about 15.6 ms)";
  CloseHandle(timer);
  return "high-resolution";
}

double seconds(const FILETIME& t) {
  return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                             t.dwLowDateTime) / 1e7;
}

std::optional<kestrune::HelperProcess> start_helper(const std::filesystem::path& helper_path,
                                                   bool unelevated) {
  kestrune::StartOptions options;
  options.helper = helper_path;
  options.unelevated = unelevated;
  kestrune::Failure failure;
  std::optional<kestrune::HelperProcess> helper = kestrune::HelperProcess::start(options, failure);
  if (!helper) {
    std::printf("start failed: %s\n", failure.text.c_str());
    return helper;
  }
  std::printf("token route: %s token, %s\n", std::string(helper->token_source()).c_str(),
              std::string(helper->creation()).c_str());
  return helper;
}

kestrune::StartCommand start_command(bool load) {
  kestrune::StartCommand start;
  start.nonce = "first-check";
  start.parent_pid = kestrune::HelperProcess::current_pid();
  start.hb_timeout_ms = 3000;  // the hello may take 2.5 s with a GPU
  start.cpu = load;
  start.gpu = load;
  return start;
}

// The parent watch alone: no load, so the hello comes at once and the watch is checked
// right after it.
void parent_watch_probe(const std::filesystem::path& helper_path) {
  std::printf("\n== parent watch (helper started as the client does, no load)\n");
  std::optional<kestrune::HelperProcess> helper = start_helper(helper_path, true);
  if (!helper) {
    std::printf("parent watch: not checked (the helper did not start)\n");
    return;
  }
  const kestrune::Heartbeat heartbeat(*helper, 500ms);
  kestrune::send(*helper, start_command(false));
  bool hello = false;
  std::optional<kestrune::Bye> bye;
  std::string error;
  // The watch is checked once right after the hello and then every 250 ms: a second
  // after the hello it has been checked several times.
  std::optional<Clock::time_point> hello_at;
  for (const auto give_up = Clock::now() + 5s; !bye && Clock::now() < give_up;) {
    if (hello_at && Clock::now() >= *hello_at + 1s) break;
    kestrune::Event event;
    const kestrune::Next next = kestrune::next_event(*helper, 100ms, event, error);
    if (next == kestrune::Next::end) break;
    if (next != kestrune::Next::event) continue;
    if (const auto* h = std::get_if<kestrune::Hello>(&event)) {
      hello = true;
      hello_at = Clock::now();
      std::printf("elevation read by the helper: %s\n", h->elevated ? "elevated" : "not elevated");
    } else if (const auto* b = std::get_if<kestrune::Bye>(&event)) {
      bye = *b;
    } else if (const auto* f = std::get_if<kestrune::Error>(&event)) {
      std::printf("error: %s %s\n", f->code.c_str(), f->detail.value_or("").c_str());
    }
  }
  if (bye && bye->why == "parentGone") {
    std::printf("parent watch: FAILED: the helper could not watch this process\n");
  } else if (bye) {
    std::printf("parent watch: not checked (the helper ended with %s)\n", bye->why.c_str());
  } else if (hello) {
    std::printf("parent watch: held\n");
  } else {
    std::printf("parent watch: not checked (no hello)\n");
  }
  kestrune::Session session(std::move(*helper));
  const kestrune::Session::Ending& ending = session.stop(std::chrono::milliseconds(3000));
  std::printf("exit code %lld%s\n", static_cast<long long>(ending.exit.code),
              ending.killed ? " (killed: no end in time)" : "");
}

// One run with load: start, hello, a few seconds of free-mode load on made-up readings, stop.
void load_check(const std::filesystem::path& helper_path, bool unelevated) {
  std::printf("\n== load, helper started %s\n",
              unelevated ? "as the client does" : "with this process's own token");
  std::optional<kestrune::HelperProcess> helper = start_helper(helper_path, unelevated);
  if (!helper) {
    std::printf("load: not checked (the helper did not start)\n");
    return;
  }
  // Opened now, so its times can still be read after it ended.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, helper->pid());
  // Beats from a thread of their own: set() below may wait longer than the time-out.
  kestrune::Heartbeat heartbeat(*helper, 500ms);
  kestrune::send(*helper, start_command(true));

  std::uint32_t workers = 0;
  bool hello = false;
  std::optional<kestrune::Bye> bye;
  auto show = [&](const kestrune::Event& e) {
    if (const auto* h = std::get_if<kestrune::Hello>(&e)) {
      workers = h->workers;
      hello = true;
      std::printf("elevation read by the helper: %s\n", h->elevated ? "elevated" : "not elevated");
      std::printf("cpu: %u workers, kernel %s (best %s)\n", h->workers, h->isa.c_str(),
                  h->isa_max.c_str());
      if (h->gpu.ok) {
        std::printf("gpu: %s (vendor 0x%04x), shader compiled, dispatch %.1f ms\n",
                    h->gpu.name.value_or("?").c_str(), h->gpu.vendor_id.value_or(0),
                    h->gpu.dispatch_ms.value_or(0.0));
      } else {
        const std::string err = h->gpu.err.value_or("?");
        std::printf("gpu: not usable: %s%s\n", err.c_str(),
                    err == "compile" ? " (the shader did not compile)" : "");
      }
    } else if (const auto* b = std::get_if<kestrune::Bye>(&e)) {
      bye = *b;
    } else if (const auto* f = std::get_if<kestrune::Error>(&e)) {
      std::printf("error: %s %s\n", f->code.c_str(), f->detail.value_or("").c_str());
    }
  };

  std::string error;
  // A set before the hello would turn the GPU off for good.
  for (const auto give_up = Clock::now() + 5s; !hello && !bye && Clock::now() < give_up;) {
    kestrune::Event event;
    const kestrune::Next next = kestrune::next_event(*helper, 250ms, event, error);
    if (next == kestrune::Next::end) break;
    if (next == kestrune::Next::event) show(event);
  }
  if (!hello) {
    std::printf("hello: none%s\n", bye ? (" (bye " + bye->why + ")").c_str() : "");
  }
  if (hello && !bye) {
    kestrune::SetCommand both{1, kestrune::DomainSetting{kestrune::Mode::free, {}, {}},
                              kestrune::DomainSetting{kestrune::Mode::free, {}, {}}};
    const kestrune::SetResult set = kestrune::set(*helper, both, show, error, {1000ms, 5});
    if (set != kestrune::SetResult::acked && !bye) std::printf("set: %s\n", error.c_str());
  }

  const auto stop_at = Clock::now() + kLoadTime;
  auto next_tick = Clock::now();
  bool stopped = bye.has_value() || !hello;
  while (!bye && hello) {
    if (!stopped && Clock::now() >= next_tick) {
      kestrune::send(*helper, kestrune::PowerCommand{30.0, 100.0, {}});
      next_tick += 250ms;
    }
    if (!stopped && Clock::now() >= stop_at) stopped = kestrune::send(*helper, kestrune::StopCommand{});
    kestrune::Event event;
    const kestrune::Next next = kestrune::next_event(*helper, 100ms, event, error);
    if (next == kestrune::Next::end) break;
    if (next == kestrune::Next::event) show(event);
    if (stopped && Clock::now() >= stop_at + 5s) break;
  }
  heartbeat.stop();
  kestrune::Session session(std::move(*helper));
  const kestrune::Session::Ending& ending = session.stop(std::chrono::milliseconds(3000), show);
  const long long code = static_cast<long long>(ending.exit.code);
  if (bye && bye->why == "elevated") {
    std::printf("elevation read by the helper: elevated (refused before any input)\n");
  } else if (bye && hello) {
    std::printf("parent watch: %s\n", bye->why == "parentGone"
                                          ? "FAILED: the helper could not watch this process"
                                          : "held for the whole run");
  }
  if (bye) {
    std::printf("bye: %s, exit code %lld\n", bye->why.c_str(), code);
  } else {
    std::printf("no bye; exit code %lld%s\n", code, ending.killed ? " (killed)" : "");
  }
  FILETIME created, exited, kernel, user;
  if (bye && hello && process != nullptr &&
      GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    const double cpu = seconds(kernel) + seconds(user);
    const double duty = bye->cpu_s * (workers == 0 ? 1 : workers);
    // Calibration, the GPU thread and the helper's own work come on top of the duty.
    std::printf("cpu time: %.2f s against %.2f duty-seconds over %u workers (%.0f%%)\n", cpu,
                duty, workers, duty > 0 ? 100.0 * cpu / duty : 0.0);
    std::printf("gpu duty-seconds: %.1f\n", bye->gpu_s);
  } else {
    std::printf("cpu time: not measured (no complete run)\n");
  }
  if (process != nullptr) CloseHandle(process);
}

// Started from Explorer (a double click, "Run as administrator") the console is this
// program's alone and closes with it, taking the report along: hold it open.
void hold_own_console() {
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) != 1) return;
  std::printf("\npress Enter to close\n");
  std::fflush(stdout);
  static_cast<void>(std::getchar());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Each line leaves at once: whatever happens later, what was found so far is on screen.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::filesystem::path helper;
  if (argc == 2) {
    helper = argv[1];
  } else {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n == MAX_PATH) {
      std::printf("kestrune first check\ncannot find its own folder (error %lu)\n", GetLastError());
      hold_own_console();
      return 126;
    }
    helper = std::filesystem::path(self).parent_path() / L"kestrune-load.exe";
  }
  const bool elevated = this_process_elevated();
  std::printf("kestrune first check\nthis process: %s\nwaitable timer: %s\n",
              elevated ? "elevated" : "not elevated", timer_kind());
  std::fflush(stdout);
  parent_watch_probe(helper);
  std::fflush(stdout);
  load_check(helper, true);
  std::fflush(stdout);
  // With its own token an elevated process hands the helper an elevated token, which it
  // must refuse; an unelevated one repeats the first run through the plain route.
  if (elevated) load_check(helper, false);
  std::printf("\nPlease send everything above to the developers.\n");
  std::fflush(stdout);
  hold_own_console();
  return 0;
}
