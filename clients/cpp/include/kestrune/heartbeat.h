#pragma once
// Keeps the helper's heartbeat watchdog fed from a thread of its own, so that a controller
// busy elsewhere (reading a meter, waiting on events) never lets it lapse.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kestrune/process.h"

namespace kestrune {

/// Sends `hb` at once and then every `period` until stopped, destroyed, or a write fails
/// (the helper's input is gone). Declare it after the HelperProcess it feeds, so that it
/// stops before the helper is ended. Lines it writes never interleave with send()'s.
class Heartbeat {
 public:
  /// A period under 1 ms is taken as 1 ms.
  Heartbeat(HelperProcess& helper, std::chrono::milliseconds period);
  ~Heartbeat();
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  /// Stops the thread and waits for it: at most for one write in progress, which like any
  /// send() blocks only while the helper's input pipe is full. Idempotent.
  void stop();
  /// False once stopped or once a heartbeat could not be written.
  bool running() const { return running_.load(); }

 private:
  void run();

  HelperProcess& helper_;
  const std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace kestrune
