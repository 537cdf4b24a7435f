#pragma once
// One run of the helper that ends the way a run should when it goes out of scope: a stop
// command, the bye within a bound, then the exit, and a kill only when the helper does
// not end in time. HelperProcess alone kills on destruction, and the bye is lost.

#include <chrono>
#include <functional>
#include <optional>

#include "kestrune/heartbeat.h"
#include "kestrune/process.h"
#include "kestrune/protocol.h"

namespace kestrune {

class Session {
 public:
  /// How a session ended.
  struct Ending {
    std::optional<Bye> bye;  ///< The helper's bye, when it came in time.
    Exit exit;               ///< How the process ended (after a kill: killed by SIGKILL / 1).
    bool killed = false;     ///< The helper did not end in time, or kill() was asked.
  };

  /// Takes over a started helper. With a `heartbeat` period, a Heartbeat feeds it until
  /// the session ends (through the stop too).
  explicit Session(HelperProcess helper,
                   std::optional<std::chrono::milliseconds> heartbeat = std::nullopt);
  /// stop() with its defaults, unless the session has ended already.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  HelperProcess& helper() { return helper_; }
  HelperProcess* operator->() { return &helper_; }

  /// The graceful end: sends stop, reads events until the helper's output ends, handing
  /// each to `on_event` (the bye included), and waits for its exit, all within `within`;
  /// a helper still running then is killed. It reads the helper's output itself: call it
  /// when no other thread reads. Later calls return the first ending.
  const Ending& stop(std::chrono::milliseconds within = std::chrono::milliseconds(2000),
                     const std::function<void(const Event&)>& on_event = {});
  /// The emergency end: kills the helper at once, without its bye, and reaps it.
  const Ending& kill();
  /// The ending, once stop() or kill() ran.
  const std::optional<Ending>& ending() const { return ending_; }

 private:
  HelperProcess helper_;
  std::optional<Heartbeat> heartbeat_;
  std::optional<Ending> ending_;
};

}  // namespace kestrune
