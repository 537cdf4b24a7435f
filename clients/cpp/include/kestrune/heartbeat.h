#pragma once
// Keeps the helper's heartbeat watchdog fed from a thread of its own, so that a controller
// busy elsewhere (reading a meter, waiting on events) never lets it lapse.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "kestrune/process.h"

namespace kestrune {

/// Sends `hb` at once and then every `period` until stopped, destroyed, or a write fails
/// (the helper's input is closed or gone). It feeds the helper, not the HelperProcess
/// object: moving that object keeps the beats going to the same helper, and ending the
/// helper (destroying the object, close_input()) ends the beats. Lines it writes never
/// interleave with send()'s.
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

  std::shared_ptr<HelperProcess::Impl> helper_;
  const std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace kestrune
