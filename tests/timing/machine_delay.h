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

namespace kestrune::timing {

/// How long the machine kept this test's threads from running, from construction until
/// `stop()`: the run-queue wait the kernel accounts for the constructing thread (Linux,
/// /proc/thread-self/schedstat; not available to the Windows build), plus the stalls of a
/// witness thread that sleeps a millisecond at a time beside the test and so stands for the
/// test's other threads (workers, a signaller): every wake later than the sleep's own
/// granularity counts whole. REQUIRES: `stop()` is called on the constructing thread.
class MachineDelay {
 public:
  MachineDelay() : own_start_(own_run_wait_ns()), witness_([this] { witness(); }) {}
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
    return own_ns_ + witness_ns_;
  }
  uint64_t ns() { return stop(); }

  /// The figures behind `ns()`, for a failure or a skip.
  std::string figures() {
    stop();
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << "machine delay " << ms(own_ns_ + witness_ns_)
         << " ms (this thread waited " << ms(own_ns_) << " ms to run, a witness stalled "
         << ms(witness_ns_) << " ms; its worst wake " << ms(worst_late_ns_) << " ms late of "
         << wakes_ << ")";
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

  // The calling thread's run-queue wait so far, or -1 where the system does not say.
  static int64_t own_run_wait_ns() {
#if defined(__linux__)
    std::ifstream stat("/proc/thread-self/schedstat");
    long long on_cpu = 0, waited = -1;
    if (stat >> on_cpu >> waited) return waited;
#endif
    return -1;
  }

  void witness() {
    // Bounded by the test's own span: stop() ends it, and a span never outlasts its test.
    while (!done_.load()) {
      const auto t0 = Clock::now();
      std::this_thread::sleep_for(kStep);
      const auto took = Clock::now() - t0;
      const uint64_t late =
          took > kStep ? static_cast<uint64_t>(std::chrono::nanoseconds(took - kStep).count()) : 0;
      worst_late_ns_ = std::max(worst_late_ns_, late);
      if (late > kGranularityNs) witness_ns_ += late;
      ++wakes_;
    }
  }

  const int64_t own_start_;
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
