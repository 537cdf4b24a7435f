#pragma once
// The yardstick of every unit test with a time bound. A bound is judged as "what the rule
// allows, plus the delay the machine imposed in that same span": a busy machine then fails
// no correct test, and a quiet one still catches a slow path. Where the machine withheld
// more than the bound itself, the test cannot judge and skips with the figures.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace kestrune::timing {

/// The calling thread's id for `MachineDelay`'s watch list, or -1 where none is kept.
inline long this_thread_tid() {
#if defined(__linux__)
  return static_cast<long>(syscall(SYS_gettid));
#else
  return -1;
#endif
}

/// How long the machine kept this test's threads from running, from construction until
/// `stop()`: the run-queue wait the kernel accounts for the constructing thread (Linux,
/// /proc/thread-self/schedstat; not available to the Windows build), plus the stalls of a
/// witness thread that sleeps a millisecond at a time beside the test and so stands for the
/// test's other threads (workers, a signaller): every wake later than the sleep's own
/// granularity counts whole. A witness wakes often and so is favoured by the scheduler: a
/// thread that burns (a CPU worker) waits longer, so a test names such threads (`watched`,
/// ids from `this_thread_tid()`) and their own run-queue wait counts too, as last read
/// before they ended. REQUIRES: `stop()` is called on the constructing thread.
class MachineDelay {
 public:
  explicit MachineDelay(std::vector<long> watched = {})
      : own_start_(own_run_wait_ns()),
        watched_(std::move(watched)),
        watched_first_(watched_.size(), -1),
        watched_last_(watched_.size(), -1),
        witness_([this] { witness(); }) {}
  ~MachineDelay() { stop(); }
  MachineDelay(const MachineDelay&) = delete;
  MachineDelay& operator=(const MachineDelay&) = delete;

  /// Ends the span (only the first call does) and returns the delay in nanoseconds.
  uint64_t stop() {
    if (witness_.joinable()) {
      const int64_t own = own_run_wait_ns();
      own_ns_ = own >= 0 && own_start_ >= 0 ? static_cast<uint64_t>(own - own_start_) : 0;
      done_.store(true);
      witness_.join();
    }
    return own_ns_ + witness_ns_ + watched_ns();
  }
  uint64_t ns() { return stop(); }

  /// The figures behind `ns()`, for a failure or a skip.
  std::string figures() {
    stop();
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << "machine delay " << ms(ns())
         << " ms (this thread waited " << ms(own_ns_) << " ms to run, the watched threads "
         << ms(watched_ns()) << " ms, a witness stalled " << ms(witness_ns_)
         << " ms; its worst wake " << ms(worst_late_ns_) << " ms late of " << wakes_ << ")";
    return text.str();
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kStep = std::chrono::milliseconds(1);
  // How late a sleep may wake by itself: timer slack and wake-up natively, the tick under
  // Windows.
#if defined(_WIN32)
  static constexpr uint64_t kGranularityNs = 1'000'000;
#else
  static constexpr uint64_t kGranularityNs = 250'000;
#endif

  static double ms(uint64_t ns) { return static_cast<double>(ns) / 1e6; }

  // A thread's run-queue wait so far (the calling one by default), or -1 where the system
  // does not say or the thread is gone.
  static int64_t own_run_wait_ns(long tid = -1) {
#if defined(__linux__)
    std::ifstream stat(tid < 0 ? std::string("/proc/thread-self/schedstat")
                               : "/proc/self/task/" + std::to_string(tid) + "/schedstat");
    long long on_cpu = 0, waited = -1;
    if (stat >> on_cpu >> waited) return waited;
#else
    (void)tid;
#endif
    return -1;
  }

  void read_watched() {
    for (size_t i = 0; i < watched_.size(); ++i) {
      const int64_t w = watched_[i] < 0 ? -1 : own_run_wait_ns(watched_[i]);
      if (w < 0) continue;
      if (watched_first_[i] < 0) watched_first_[i] = w;
      watched_last_[i] = w;
    }
  }

  uint64_t watched_ns() const {
    uint64_t sum = 0;
    for (size_t i = 0; i < watched_.size(); ++i) {
      if (watched_first_[i] >= 0) sum += static_cast<uint64_t>(watched_last_[i] - watched_first_[i]);
    }
    return sum;
  }

  void witness() {
    // Bounded by the test's own span: stop() ends it, and a span never outlasts its test.
    read_watched();
    while (!done_.load()) {
      read_watched();
      const auto t0 = Clock::now();
      std::this_thread::sleep_for(kStep);
      const auto took = Clock::now() - t0;
      const uint64_t late =
          took > kStep ? static_cast<uint64_t>(std::chrono::nanoseconds(took - kStep).count()) : 0;
      worst_late_ns_ = std::max(worst_late_ns_, late);
      if (late > kGranularityNs) witness_ns_ += late;
      ++wakes_;
    }
    read_watched();
  }

  const int64_t own_start_;
  const std::vector<long> watched_;
  // Written by the witness only, read after the join.
  std::vector<int64_t> watched_first_, watched_last_;
  std::atomic<bool> done_{false};
  // Written by the witness before it ends, read after the join.
  uint64_t witness_ns_ = 0, worst_late_ns_ = 0, wakes_ = 0;
  uint64_t own_ns_ = 0;
  std::thread witness_;  // last: starts once the rest is set up
};

}  // namespace kestrune::timing

/// Expects `took_ns` <= `bound_ns` + the delay `delay` (a MachineDelay) measured. A time
/// over the bound where that delay alone reached the bound cannot be judged: the test skips
/// with the figures.
#define KL_EXPECT_TIMELY(took_ns, bound_ns, delay)                                           \
  do {                                                                                       \
    const uint64_t kl_took_ = (took_ns), kl_bound_ = (bound_ns), kl_delay_ = (delay).ns();   \
    if (kl_took_ > kl_bound_ && kl_delay_ >= kl_bound_) {                                    \
      GTEST_SKIP() << "the machine gave too little to judge " #took_ns " = " << kl_took_     \
                   << " ns against " << kl_bound_ << " ns: " << (delay).figures();           \
    }                                                                                        \
    EXPECT_LE(kl_took_, kl_bound_ + kl_delay_)                                               \
        << #took_ns " against " << kl_bound_ << " ns plus the " << (delay).figures();        \
  } while (0)
