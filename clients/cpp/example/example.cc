// kestrune-example: the smallest whole controller. Starts the helper given as the only
// argument, starts CPU load, ramps it in free mode for about two seconds while feeding it
// made-up power readings, stops it, prints the bye and exits with the helper's exit code.

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "kestrune/client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The made-up machine: idle watts, extra watts at full duty, and how fast it follows.
constexpr double kIdleW = 15.0, kSpanW = 45.0, kFollow = 0.5;
constexpr int kUsageExit = 125, kStartFailedExit = 126;

int run(const std::filesystem::path& helper_path) {
  kestrune::StartOptions options;
  options.helper = helper_path;
  std::string error;
  std::optional<kestrune::HelperProcess> helper = kestrune::HelperProcess::start(options, error);
  if (!helper) {
    std::fprintf(stderr, "kestrune-example: %s\n", error.c_str());
    return kStartFailedExit;
  }
  std::fprintf(stderr, "kestrune-example: helper pid %u (token: %s)\n", helper->pid(),
               std::string(helper->token_source()).c_str());
  kestrune::StartCommand start;
  start.nonce = "example";
  start.parent_pid = kestrune::HelperProcess::current_pid();  // the helper watches us
  start.cpu = true;
  kestrune::send(*helper, start);

  double duty = 0.0, watts = kIdleW;
  auto show = [&](const kestrune::Event& event) {
    if (const auto* hello = std::get_if<kestrune::Hello>(&event)) {
      std::printf("hello  pid %u  %u workers  isa %s\n", hello->pid, hello->workers, hello->isa.c_str());
    } else if (const auto* status = std::get_if<kestrune::Status>(&event)) {
      duty = status->cpu.duty;
      std::printf("status  t=%llu ms  cpu duty %.3f  at %.1f W\n",
                  static_cast<unsigned long long>(status->t_ms), duty, watts);
    } else if (const auto* bye = std::get_if<kestrune::Bye>(&event)) {
      std::printf("bye  why=%s code=%lld cpuS=%.1f\n", bye->why.c_str(),
                  static_cast<long long>(bye->code), bye->cpu_s);
    } else if (const auto* failure = std::get_if<kestrune::Error>(&event)) {
      std::printf("error  %s %s\n", failure->code.c_str(), failure->detail.value_or("").c_str());
    }
    std::fflush(stdout);
  };
  // Confirmed: the set is sent again with the next seq until its ack arrives.
  kestrune::SetCommand free{1, kestrune::DomainSetting{kestrune::Mode::free, {}, {}}, {}};
  if (kestrune::set(*helper, free, show, error) != kestrune::SetResult::acked) {
    std::fprintf(stderr, "kestrune-example: %s\n", error.c_str());
  }
  const auto stop_at = Clock::now() + 2s;
  auto next_tick = Clock::now();
  for (bool stopped = false;;) {
    if (!stopped && Clock::now() >= next_tick) {  // heartbeat and a reading, 4 times a second
      watts += (kIdleW + kSpanW * duty - watts) * kFollow;
      kestrune::send(*helper, kestrune::HeartbeatCommand{});
      kestrune::send(*helper, kestrune::PowerCommand{watts, {}, {}});
      next_tick += 250ms;
    }
    if (!stopped && Clock::now() >= stop_at) stopped = kestrune::send(*helper, kestrune::StopCommand{});
    kestrune::Event event;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now());
    const kestrune::Next next = kestrune::next_event(*helper, stopped ? 5000ms : std::max(wait, 1ms), event, error);
    if (next == kestrune::Next::end || (stopped && next == kestrune::Next::timeout)) break;
    if (next == kestrune::Next::bad_line) std::fprintf(stderr, "kestrune-example: %s\n", error.c_str());
    if (next != kestrune::Next::event) continue;
    show(event);
  }
  const std::optional<std::int64_t> code = helper->wait(10s);
  return code ? static_cast<int>(*code) : kStartFailedExit;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
  if (argc != 2) {
    std::fprintf(stderr, "usage: kestrune-example HELPER\n");
    return kUsageExit;
  }
  return run(argv[1]);
}
