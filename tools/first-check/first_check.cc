// kestrune-first-check: what a real Windows machine does with the helper, in one screen.
// Starts the helper beside it (or the one given as the only argument) the way the client
// does, and once more with this process's own token, puts a few seconds of CPU and GPU
// load on the machine, and prints what it found: which token and creation call were used,
// the elevation the helper read, whether its parent watch held, the waitable timer kind,
// the GPU adapter and whether the shader compiled, and the helper's CPU time against its
// duty-seconds. Run it once from an ordinary prompt and once from an elevated one.

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

// One run: start, hello, a few seconds of free-mode load on made-up readings, stop.
void check(const std::filesystem::path& helper_path, bool unelevated) {
  std::printf("\n== helper started %s\n",
              unelevated ? "as the client does" : "with this process's own token");
  kestrune::StartOptions options;
  options.helper = helper_path;
  options.unelevated = unelevated;
  std::string error;
  std::optional<kestrune::HelperProcess> helper = kestrune::HelperProcess::start(options, error);
  if (!helper) {
    std::printf("start failed: %s\n", error.c_str());
    return;
  }
  std::printf("token route: %s token, %s\n", std::string(helper->token_source()).c_str(),
              std::string(helper->creation()).c_str());
  // Opened now, so its times can still be read after it ended.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, helper->pid());

  kestrune::StartCommand start;
  start.nonce = "first-check";
  start.parent_pid = kestrune::HelperProcess::current_pid();
  start.hb_timeout_ms = 3000;  // the hello may take 2.5 s with a GPU
  start.cpu = true;
  start.gpu = true;
  kestrune::send(*helper, kestrune::HeartbeatCommand{});
  kestrune::send(*helper, start);

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

  // A set before the hello would turn the GPU off for good.
  for (const auto give_up = Clock::now() + 5s; !hello && !bye && Clock::now() < give_up;) {
    kestrune::send(*helper, kestrune::HeartbeatCommand{});
    kestrune::Event event;
    const kestrune::Next next = kestrune::next_event(*helper, 250ms, event, error);
    if (next == kestrune::Next::end) break;
    if (next == kestrune::Next::event) show(event);
  }
  kestrune::SetCommand both{1, kestrune::DomainSetting{kestrune::Mode::free, {}, {}},
                            kestrune::DomainSetting{kestrune::Mode::free, {}, {}}};
  const kestrune::SetResult set = kestrune::set(*helper, both, show, error, {1000ms, 5});
  if (set != kestrune::SetResult::acked && !bye && hello) std::printf("set: %s\n", error.c_str());

  const auto stop_at = Clock::now() + kLoadTime;
  auto next_tick = Clock::now();
  bool stopped = bye.has_value();
  while (!bye) {
    if (!stopped && Clock::now() >= next_tick) {
      kestrune::send(*helper, kestrune::HeartbeatCommand{});
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
  const std::optional<std::int64_t> code = helper->wait(10s);
  if (bye && bye->why == "elevated") {
    std::printf("elevation read by the helper: elevated (refused before any input)\n");
  } else if (bye && hello) {
    std::printf("parent watch: %s\n", bye->why == "parentGone"
                                          ? "FAILED: the helper could not watch this process"
                                          : "held for the whole run");
  }
  if (bye) {
    std::printf("bye: %s, exit code %lld\n", bye->why.c_str(),
                static_cast<long long>(code.value_or(-1)));
  } else {
    std::printf("no bye; exit code %lld\n", static_cast<long long>(code.value_or(-1)));
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
  }
  if (process != nullptr) CloseHandle(process);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::filesystem::path helper;
  if (argc == 2) {
    helper = argv[1];
  } else {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n == MAX_PATH) return 126;
    helper = std::filesystem::path(self).parent_path() / L"kestrune-load.exe";
  }
  const bool elevated = this_process_elevated();
  std::printf("kestrune first check\nthis process: %s\nwaitable timer: %s\n",
              elevated ? "elevated" : "not elevated", timer_kind());
  check(helper, true);
  // With its own token an elevated process hands the helper an elevated token, which it
  // must refuse; an unelevated one repeats the first run through the plain route.
  if (elevated) check(helper, false);
  std::printf("\nPlease send everything above to the developers.\n");
  return 0;
}
