#pragma once
// Test doubles for the GPU engine: a fake clock with scheduled actions, a timer whose waits
// move that clock, and a scripted device. Times are nanoseconds since base_instant.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "gpu/d3d11_result.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_setup.h"
#include "gpu/gpu_platform.h"
#include "core/load_control.h"
#include "core/supervisor_msg.h"

namespace kestrune::fake {

inline constexpr uint64_t kMs = 1'000'000;

inline uint64_t ms_to_ns(double ms) { return static_cast<uint64_t>(std::llround(ms * 1e6)); }

/// Fake monotonic time. Scheduled actions run when time reaches them, in time order.
class FakeClock {
 public:
  uint64_t now = 0;
  /// When the running dispatch completes, so waits can wake exactly then.
  std::optional<uint64_t> completion;

  void at(uint64_t t, std::function<void()> action) { actions_.emplace(t, std::move(action)); }

  /// Moves to `target`, running due actions; stops right after an action (or at once) when
  /// `woken` says so. True when woken early.
  bool advance_to(uint64_t target, const std::function<bool()>& woken) {
    if (woken && woken()) return true;
    while (!actions_.empty() && actions_.begin()->first <= target) {
      auto node = actions_.extract(actions_.begin());
      if (node.key() > now) now = node.key();
      node.mapped()();
      if (woken && woken()) return true;
    }
    if (target > now) now = target;
    return false;
  }

 private:
  std::multimap<uint64_t, std::function<void()>> actions_;
};

/// A GpuTimer on the fake clock. With a stop event (the default) waits end the moment
/// stop_requested is set; without one they run their full length.
class FakeTimer final : public GpuTimer {
 public:
  FakeTimer(FakeClock& clock, const LoadControl& control) : clock_(clock), control_(control) {}

  bool has_stop_event = true;
  /// How late each idle wait wakes, as a real timer does.
  uint64_t late_wake_ns = 0;
  /// idle_wait calls (0-based) that fail.
  std::vector<int> failing_idle_waits;

  int pauses = 0;
  struct Idle {
    uint64_t from;
    uint64_t to;
  };
  std::vector<Idle> idle_waits;

  uint64_t now_ns() override { return clock_.now; }

  void poll_pause() override {
    ++pauses;
    uint64_t target = clock_.now + kMs;
    if (clock_.completion && *clock_.completion > clock_.now && *clock_.completion < target) {
      target = *clock_.completion;
    }
    clock_.advance_to(target, woken());
  }

  WaitOutcome idle_wait(uint64_t ns) override {
    const int call = static_cast<int>(idle_waits.size());
    const uint64_t from = clock_.now;
    for (int f : failing_idle_waits) {
      if (f == call) {
        idle_waits.push_back({from, from});
        return WaitOutcome::WaitFailed;
      }
    }
    const bool stopped = clock_.advance_to(from + ns + late_wake_ns, woken());
    idle_waits.push_back({from, clock_.now});
    return stopped ? WaitOutcome::StopSignalled : WaitOutcome::Elapsed;
  }

 private:
  std::function<bool()> woken() {
    if (!has_stop_event) return nullptr;
    return [this] { return control_.stop_requested.load(); };
  }
  FakeClock& clock_;
  const LoadControl& control_;
};

/// How one scripted dispatch behaves.
struct FakeDispatch {
  enum class Kind { Completes, NeverCompletes, PollFails };
  Kind kind = Kind::Completes;
  double ms = 20.0;          // Completes: done this long after the dispatch
  int32_t poll_result = 0;   // PollFails: GetData's result
  int32_t removed_on_completion = 0;  // Completes: removal reason from then on (0: none)

  static FakeDispatch after(double ms) { return {Kind::Completes, ms, 0, 0}; }
  static FakeDispatch never() { return {Kind::NeverCompletes, 0, 0, 0}; }
  static FakeDispatch poll_fails(int32_t hr) { return {Kind::PollFails, 0, hr, 0}; }
  static FakeDispatch removed_after(double ms, int32_t reason) {
    return {Kind::Completes, ms, 0, reason};
  }
};

/// A scripted GpuDevice that polls and names its failures as a Direct3D device does.
/// Dispatches follow `script` in order, then `otherwise`.
class FakeDevice final : public GpuDevice {
 public:
  explicit FakeDevice(FakeClock& clock) : clock_(clock) {}

  std::deque<FakeDispatch> script;
  FakeDispatch otherwise = FakeDispatch::after(20.0);
  int32_t removed = 0;  // the device's removal reason

  struct Started {
    uint64_t at;
    uint32_t iters;
  };
  std::vector<Started> dispatches;
  std::vector<uint32_t> uploads;
  int polls = 0;

  void then(std::initializer_list<double> ms) {
    for (double m : ms) script.push_back(FakeDispatch::after(m));
  }

  uint32_t uploaded_iters() const override { return uploaded_; }
  void upload_iters(uint32_t iters) override {
    uploads.push_back(iters);
    uploaded_ = iters;
  }
  void dispatch_end_flush() override {
    current_ = otherwise;
    if (!script.empty()) {
      current_ = script.front();
      script.pop_front();
    }
    dispatches.push_back({clock_.now, uploaded_});
    done_at_ = clock_.now + ms_to_ns(current_.ms);
    clock_.completion.reset();
    if (current_.kind == FakeDispatch::Kind::Completes) clock_.completion = done_at_;
  }
  DevicePoll poll() override {
    ++polls;
    if (current_.kind == FakeDispatch::Kind::PollFails) {
      return d3d11_poll(current_.poll_result, false, removed);
    }
    const bool done =
        current_.kind == FakeDispatch::Kind::Completes && clock_.now >= done_at_;
    if (done && current_.removed_on_completion != 0) removed = current_.removed_on_completion;
    return d3d11_poll(done ? 0 : 1, done, removed);
  }
  GpuFailure hang_failure() override { return d3d11_hang_failure(removed); }

 private:
  FakeClock& clock_;
  uint32_t uploaded_ = kInitialIters;
  FakeDispatch current_;
  uint64_t done_at_ = 0;
};

/// One fake GPU world: LoadControl, the command queue, clock, timer and device.
struct FakeGpu {
  LoadControlRef control = std::make_shared<LoadControl>();
  CommandSender sender;
  CommandReceiver receiver;
  FakeClock clock;
  FakeTimer timer{clock, *control};
  FakeDevice device{clock};

  FakeGpu() {
    auto [s, r] = make_channel<SupervisorMsg>();
    sender = std::move(s);
    receiver = std::move(r);
  }

  void stop_at(uint64_t t) {
    clock.at(t, [c = control.get()] { c->stop_requested.store(true); });
  }
  void duty_at(uint64_t t, uint32_t duty_e4) {
    clock.at(t, [c = control.get(), duty_e4] { c->gpu_duty_e4.store(duty_e4); });
  }

  /// Every report sent so far, in order.
  std::vector<SupervisorMsg> reports() {
    std::vector<SupervisorMsg> out;
    for (;;) {
      auto r = receiver.recv_for(std::chrono::nanoseconds(0));
      if (r.status != RecvStatus::Message) return out;
      out.push_back(std::move(*r.item));
    }
  }
};

}  // namespace kestrune::fake
