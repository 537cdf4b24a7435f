// Starts the helper given as the only argument with CPU load, lets the client's heartbeat
// thread alone keep the run alive for several heartbeat time-outs, then stops it. Prints
// the hello and the bye; exits with the helper's exit code.

#include <kestrune/client.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

using namespace std::chrono_literals;

int main(int argc, char** argv) {
  if (argc != 2) return 125;
  kestrune::StartOptions options;
  options.helper = argv[1];
  std::string error;
  std::optional<kestrune::HelperProcess> helper = kestrune::HelperProcess::start(options, error);
  if (!helper) {
    std::fprintf(stderr, "consumer: %s\n", error.c_str());
    return 126;
  }
  kestrune::Heartbeat heartbeat(*helper, 100ms);
  kestrune::StartCommand start;
  start.nonce = "consumer";
  start.parent_pid = kestrune::HelperProcess::current_pid();
  start.hb_timeout_ms = 500;
  start.cpu = true;
  start.workers = 1;
  kestrune::send(*helper, start);

  const auto stop_at = std::chrono::steady_clock::now() + 1500ms;
  bool stopped = false;
  const auto give_up = stop_at + 30s;  // a helper that never ends its output
  while (std::chrono::steady_clock::now() < give_up) {
    if (!stopped && std::chrono::steady_clock::now() >= stop_at) {
      stopped = kestrune::send(*helper, kestrune::StopCommand{});
    }
    kestrune::Event event;
    const kestrune::Next next = kestrune::next_event(*helper, 100ms, event, error);
    if (next == kestrune::Next::end) break;
    if (next != kestrune::Next::event) continue;
    if (const auto* hello = std::get_if<kestrune::Hello>(&event)) {
      std::printf("hello nonce=%s\n", hello->nonce.c_str());
    } else if (const auto* bye = std::get_if<kestrune::Bye>(&event)) {
      std::printf("bye why=%s code=%lld\n", bye->why.c_str(), static_cast<long long>(bye->code));
    }
  }
  heartbeat.stop();
  return static_cast<int>(helper->wait(10s).value_or(126));
}
