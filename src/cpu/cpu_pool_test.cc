#include "cpu/cpu_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "fakes/fake_timers.h"
#include "os/clock.h"
#include "os/thread.h"
#include "os/waitable_timer.h"
#include "timing/machine_delay.h"

namespace kestrune {

namespace worker_count_test {

TEST(WorkerCount, FollowsTheRequestAndTheProcessorCount) {
  struct Case {
    std::optional<uint32_t> requested;
    uint32_t logical, want;
  };
  const Case cases[] = {
      {std::nullopt, 1, 1}, {std::nullopt, 2, 1}, {std::nullopt, 8, 7}, {std::nullopt, 0, 1},
      {0u, 8, 1},           {0u, 1, 1},           {1u, 8, 1},           {3u, 8, 3},
      {8u, 8, 8},           {64u, 8, 8},          {UINT32_MAX, 2, 2},   {5u, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(worker_count(c.requested, c.logical), c.want)
        << (c.requested ? std::to_string(*c.requested) : "none") << " on " << c.logical;
  }
}

}  // namespace worker_count_test

namespace cpu_worker_test {

constexpr uint64_t kMs = 1'000'000;
const fake::NoTimers kNoTimers;

// Period boundaries that a delay of the machine may have cost a worker: a wake later by less
// than a period still waits, or burns, once for its boundary.
uint64_t periods_lost(uint64_t delay_ns) { return delay_ns / kDutyPeriodNs; }

// A LoadControl and a command queue as the supervisor would set them up, plus workers on
// real threads.
struct Harness {
  LoadControlRef control = std::make_shared<LoadControl>();
  std::pair<CommandSender, CommandReceiver> queue = make_channel<SupervisorMsg>();
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<WorkerStats>> stats;
  // Each worker's thread id, set before it counts itself started.
  std::vector<std::shared_ptr<std::atomic<long>>> tids;
  const TimerSource* timers = &os_timers();

  explicit Harness(bool with_stop_event = true) {
    if (with_stop_event) control->stop_event = os::StopEvent::create();
    control->base_instant_ns = os::monotonic_ns();
  }
  ~Harness() {
    stop();
    for (auto& t : threads) t.join();
  }

  void start(uint32_t count, uint32_t iters = 2000) {
    for (uint32_t i = 0; i < count; ++i) {
      auto s = std::make_shared<WorkerStats>();
      stats.push_back(s);
      auto tid = std::make_shared<std::atomic<long>>(-1);
      tids.push_back(tid);
      WorkerConfig cfg{queue.first, control, i, count, iters, KernelKind::Sse2, s, timers};
      threads.emplace_back([cfg = std::move(cfg), tid]() mutable {
        tid->store(timing::this_thread_tid());
        cpu_worker_main(std::move(cfg));
      });
    }
  }
  void set_duty(uint32_t e4) { control->cpu_duty_e4.store(e4); }
  // The workers' threads, for a MachineDelay to watch.
  std::vector<long> worker_tids() const {
    std::vector<long> ids;
    for (auto& t : tids) ids.push_back(t->load());
    return ids;
  }
  // What the final stop does: duty 0, flag, event.
  void stop() {
    control->cpu_duty_e4.store(0);
    control->stop_requested.store(true);
    if (control->stop_event) control->stop_event->signal();
  }
  // Polls every 2 ms like the final stop; returns how long until all had counted out.
  uint64_t wait_all_exited(uint64_t limit_ms) {
    uint64_t t0 = os::monotonic_ns();
    while (control->threads_exited.load() < threads.size() ||
           control->threads_exited.load() != control->threads_started.load()) {
      if (os::monotonic_ns() - t0 > limit_ms * kMs) break;
      os::sleep_ms(2);
    }
    return (os::monotonic_ns() - t0) / kMs;
  }
  void wait_all_started() {
    for (int i = 0; i < 500 && control->threads_started.load() < threads.size(); ++i) {
      os::sleep_ms(1);
    }
  }
  uint64_t kernel_calls() const {
    uint64_t n = 0;
    for (auto& s : stats) n += s->kernel_calls.load();
    return n;
  }
  int worker_failed_messages() {
    int n = 0;
    for (;;) {
      auto r = queue.second.recv_for(std::chrono::nanoseconds(0));
      if (r.status != RecvStatus::Message) return n;
      if (std::holds_alternative<WorkerFailed>(*r.item)) ++n;
    }
  }
};

TEST(CpuWorker, DutyZeroNeverBurnsAndWakesTenTimesASecond) {
  Harness h;
  h.start(2);
  h.wait_all_started();
  timing::MachineDelay span_delay(h.worker_tids());
  const uint64_t t0 = h.control->now_ns();
  os::sleep_ms(520);
  const uint64_t periods = (h.control->now_ns() - t0) / kDutyPeriodNs;
  const uint64_t lost = periods_lost(span_delay.stop());
  for (auto& s : h.stats) {
    EXPECT_EQ(s->kernel_calls.load(), 0u);
    // One wait per period boundary: about 5 in 520 ms (6 with the first partial period).
    EXPECT_GE(s->waits.load() + 1 + lost, periods) << span_delay.figures();
    EXPECT_LE(s->waits.load(), periods + 2);
  }
  EXPECT_EQ(h.control->result_sink.load(), 0u);
  timing::MachineDelay delay(h.worker_tids());
  h.stop();
  const uint64_t exit_ms = h.wait_all_exited(2000);
  delay.stop();
  EXPECT_EQ(h.control->threads_started.load(), 2u);
  EXPECT_EQ(h.control->threads_exited.load(), 2u);
  EXPECT_EQ(h.worker_failed_messages(), 0);
  // Stop while sleeping must wake them at once.
  KL_EXPECT_TIMELY(exit_ms * kMs, 50 * kMs, delay);
}

TEST(CpuWorker, FullDutyBurnsContinuouslyAndFoldsOncePerPeriod) {
  Harness h;
  h.set_duty(10000);
  h.start(1, 200);
  h.wait_all_started();
  timing::MachineDelay span_delay(h.worker_tids());
  uint64_t t0 = os::monotonic_ns();
  // Folds of a settled state give the same value, so an even count of them cancels out in
  // the sink: watch it along the way.
  bool sink_seen = false;
  while (os::monotonic_ns() - t0 < 350 * kMs) {
    sink_seen = sink_seen || h.control->result_sink.load() != 0;
    os::sleep_ms(1);
  }
  auto& s = *h.stats[0];
  EXPECT_GT(s.kernel_calls.load(), 10u);
  EXPECT_EQ(s.waits.load(), 0u);
  uint64_t periods = (os::monotonic_ns() - t0) / (100 * kMs) + 1;
  const uint64_t lost = periods_lost(span_delay.stop());
  EXPECT_GE(s.burns.load() + 2 + lost, periods) << span_delay.figures();
  EXPECT_LE(s.burns.load(), periods + 1);
  // A fold reaches the sink; a worker the machine starved may not have folded yet.
  for (int i = 0; i < 1000 && !sink_seen; ++i) {
    sink_seen = h.control->result_sink.load() != 0;
    os::sleep_ms(1);
  }
  EXPECT_TRUE(sink_seen) << s.burns.load() << " burns; " << span_delay.figures();

  // Dropping the duty to 0 stops the burn after the current call: the worker goes to wait
  // at once, and calls no more.
  timing::MachineDelay delay(h.worker_tids());
  t0 = os::monotonic_ns();
  h.set_duty(0);
  while (s.waits.load() == 0 && os::monotonic_ns() - t0 < 2000 * kMs) os::sleep_ms(1);
  const uint64_t to_wait = os::monotonic_ns() - t0;
  delay.stop();
  ASSERT_GE(s.waits.load(), 1u);
  uint64_t calls = s.kernel_calls.load();
  os::sleep_ms(150);
  EXPECT_EQ(s.kernel_calls.load(), calls);
  KL_EXPECT_TIMELY(to_wait, 20 * kMs, delay);
}

TEST(CpuWorker, SmallestDutyBurnsOneCallEveryPeriod) {
  Harness h;
  h.set_duty(1);  // a 10 us window, shorter than a call of about 20 us and than a wake's lag
  h.start(1);
  h.wait_all_started();
  timing::MachineDelay delay(h.worker_tids());
  const uint64_t t0 = h.control->now_ns();
  os::sleep_ms(450);
  const uint64_t t1 = h.control->now_ns();
  os::sleep_ms(3);  // time for a wake at the last boundary to burn
  auto& s = *h.stats[0];
  const uint64_t burns = s.burns.load(), calls = s.kernel_calls.load();
  // Every boundary crossed gave one burn of one call; the first, partial period and the
  // 3 ms above may add one more. A worker stalled longer than those 3 ms may still owe the
  // last boundary's burn.
  const uint64_t boundaries = t1 / kDutyPeriodNs - t0 / kDutyPeriodNs;
  const uint64_t d = delay.stop();
  const uint64_t lost = periods_lost(d) + (d > 3 * kMs ? 1 : 0);
  EXPECT_GE(burns + lost, boundaries) << delay.figures();
  EXPECT_LE(burns, boundaries + 2);
  EXPECT_EQ(calls, burns);
  EXPECT_GE(s.waits.load() + lost, 4u) << delay.figures();
}

TEST(CpuWorker, RaisedDutyTakesEffectAtThePeriodBoundary) {
  Harness h;
  h.start(1);
  h.wait_all_started();
  os::sleep_ms(30);
  timing::MachineDelay delay(h.worker_tids());
  const uint64_t t0 = h.control->now_ns();
  h.set_duty(5000);
  os::sleep_ms(330);
  const uint64_t t1 = h.control->now_ns();
  const uint64_t burns = h.stats[0]->burns.load();
  // At least the periods that started after the change burned (3 in 330 ms), less one
  // still burning; at most those and the one the change fell in.
  const uint64_t started = t1 / kDutyPeriodNs - t0 / kDutyPeriodNs;
  EXPECT_GE(burns + 1 + periods_lost(delay.stop()), started) << delay.figures();
  EXPECT_LE(burns, started + 1);
}

TEST(CpuWorker, StopWhileBurningEndsWithinACall) {
  Harness h;
  h.set_duty(10000);
  h.start(2, 2000);
  h.wait_all_started();
  os::sleep_ms(50);
  timing::MachineDelay delay(h.worker_tids());
  h.stop();
  const uint64_t exit_ms = h.wait_all_exited(2000);
  delay.stop();
  EXPECT_EQ(h.control->threads_exited.load(), 2u);
  KL_EXPECT_TIMELY(exit_ms * kMs, 30 * kMs, delay);
}

TEST(CpuWorker, WithoutAStopEventTheStopIsSeenAtThePeriodBoundary) {
  Harness h(/*with_stop_event=*/false);
  h.start(1);
  h.wait_all_started();
  os::sleep_ms(10);
  timing::MachineDelay delay(h.worker_tids());
  h.stop();
  const uint64_t exit_ms = h.wait_all_exited(2000);
  delay.stop();
  EXPECT_EQ(h.control->threads_exited.load(), 1u);
  // The next boundary is at most a period away; 40 ms for the wake and the 2 ms poll.
  KL_EXPECT_TIMELY(exit_ms * kMs, 140 * kMs, delay);
}

TEST(CpuWorker, StopBeforeStartEndsWithoutBurning) {
  Harness h;
  h.set_duty(10000);
  h.stop();
  h.start(1);
  h.wait_all_exited(200);
  EXPECT_EQ(h.control->threads_started.load(), 1u);
  EXPECT_EQ(h.control->threads_exited.load(), 1u);
  EXPECT_EQ(h.kernel_calls(), 0u);
}

TEST(CpuWorker, NoTimerPostsWorkerFailedAndCountsOut) {
  Harness h;
  h.set_duty(10000);
  h.timers = &kNoTimers;
  h.start(1);
  h.wait_all_exited(500);
  EXPECT_EQ(h.control->threads_started.load(), 1u);
  EXPECT_EQ(h.control->threads_exited.load(), 1u);
  EXPECT_EQ(h.kernel_calls(), 0u);
  EXPECT_EQ(h.worker_failed_messages(), 1);
}

TEST(CpuWorker, AGoneQueueDoesNotKeepAFailedWorkerAlive) {
  Harness h;
  { auto gone = std::move(h.queue.second); }  // the supervisor's end is closed
  h.timers = &kNoTimers;
  h.start(1);
  h.wait_all_exited(500);
  EXPECT_EQ(h.control->threads_exited.load(), 1u);
}

}  // namespace cpu_worker_test

namespace cpu_pool_test {

#if defined(__linux__)
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  return names;
}
#endif

bool wait_for(const std::function<bool()>& done, uint32_t limit_ms) {
  for (uint32_t i = 0; i < limit_ms / 2; ++i) {
    if (done()) return true;
    os::sleep_ms(2);
  }
  return done();
}

TEST(CpuPool, StartsNamedWorkersThatFollowTheDutyAndStop) {
  auto control = std::make_shared<LoadControl>();
  control->stop_event = os::StopEvent::create();
  control->base_instant_ns = os::monotonic_ns();
  auto [commands, inbox] = make_channel<SupervisorMsg>();
  const uint32_t want = std::min(2u, os::logical_processor_count());

  CpuPoolStart r = start_cpu_pool(commands, control, detect_cpu_features(), 64u);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value(), want);
  ASSERT_TRUE(wait_for([&] { return control->threads_started.load() == want; }, 1000));

#if defined(__linux__)
  auto names = thread_names();
  for (uint32_t i = 0; i < want; ++i) {
    std::string n = "burn-" + std::to_string(i);
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
  }
#endif

  EXPECT_EQ(control->result_sink.load(), 0u);  // duty 0: nothing burned
  timing::MachineDelay burn_delay;
  uint64_t t0 = os::monotonic_ns();
  control->cpu_duty_e4.store(10000);
  EXPECT_TRUE(wait_for([&] { return control->result_sink.load() != 0; }, 5000));
  const uint64_t to_burn = os::monotonic_ns() - t0;
  burn_delay.stop();

  timing::MachineDelay stop_delay;
  t0 = os::monotonic_ns();
  control->cpu_duty_e4.store(0);
  control->stop_requested.store(true);
  control->stop_event->signal();
  EXPECT_TRUE(wait_for([&] { return control->threads_exited.load() == want; }, 5000));
  const uint64_t to_stop = os::monotonic_ns() - t0;
  stop_delay.stop();
  EXPECT_EQ(inbox.recv_for(std::chrono::nanoseconds(0)).status, RecvStatus::Timeout);
  // Judged once the workers are gone: a skip must not leave them burning.
  KL_EXPECT_TIMELY(to_burn, 500'000'000u, burn_delay);
  KL_EXPECT_TIMELY(to_stop, 200'000'000u, stop_delay);
}

}  // namespace cpu_pool_test

}  // namespace kestrune
