// Benchmark of the Vulkan GPU load on whatever device is present (a software one
// included): the dispatch-time spread at the calibrated work size, and how closely the busy
// share of wall time, measured from the dispatch timings, follows the duty asked. Prints
// figures only.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gpu/dispatch.h"
#include "gpu/duty_cycle.h"
#include "gpu/gpu_thread.h"
#include "gpu/vulkan_pipeline.h"
#include "os/clock.h"
#include "util/bench.h"
#include "util/channel.h"

namespace kestrune {
namespace {

// Passes everything through and records when each dispatch was submitted and first seen
// complete.
class TimedDevice final : public GpuDevice {
 public:
  explicit TimedDevice(GpuDevice& inner) : inner_(inner) {}

  uint64_t busy_ns = 0;
  std::vector<double> dispatch_ms;

  uint32_t uploaded_iters() const override { return inner_.uploaded_iters(); }
  void upload_iters(uint32_t iters) override { inner_.upload_iters(iters); }
  void dispatch_end_flush() override {
    submitted_ = os::monotonic_ns();
    running_ = true;
    inner_.dispatch_end_flush();
  }
  DevicePoll poll() override {
    DevicePoll q = inner_.poll();
    if (q.state == PollState::Done && running_) {
      const uint64_t t = os::monotonic_ns() - submitted_;
      busy_ns += t;
      dispatch_ms.push_back(static_cast<double>(t) / 1e6);
      running_ = false;
    }
    return q;
  }
  GpuFailure hang_failure() override { return inner_.hang_failure(); }

  void reset() {
    busy_ns = 0;
    dispatch_ms.clear();
  }

 private:
  GpuDevice& inner_;
  uint64_t submitted_ = 0;
  bool running_ = false;
};

std::unique_ptr<LoadControl> fresh_control() {
  auto c = std::make_unique<LoadControl>();
  c->stop_event = os::StopEvent::create();
  c->base_instant_ns = os::monotonic_ns();
  return c;
}

// The code of a failure the duty cycle reported since the last call, or "-".
std::string drain_failure(Receiver<SupervisorMsg>& receiver) {
  std::string code = "-";
  for (;;) {
    auto r = receiver.recv_for(std::chrono::nanoseconds(0));
    if (r.status != RecvStatus::Message) return code;
    if (const auto* f = std::get_if<GpuFailed>(&*r.item)) code = f->code;
  }
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

void run(const std::vector<std::string>& args) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as they are measured
  const double seconds = args.empty() ? 3.0 : std::max(0.5, std::atof(args[0].c_str()));
  GpuSetupResult setup = open_vulkan_setup(std::nullopt, SoftwareAdapters::Accepted);
  if (!setup.opened.ok()) {
    std::printf("no Vulkan device (%s): nothing to measure\n", setup.opened.error().c_str());
    return;
  }
  const OpenedGpu& opened = setup.opened.value();
  std::printf("device: %s (vendor 0x%04X)\n", opened.name.c_str(), opened.vendor_id);
  TimedDevice timed(*opened.device);
  auto [sender, receiver] = make_channel<SupervisorMsg>();

  TuneState tune;
  {
    auto control = fresh_control();
    auto timer = create_os_gpu_timer(*control);
    // How the dispatch time grows with the work size, up to where calibration starts.
    std::printf("dispatch ms by iters:");
    for (uint32_t iters = kMinIters; iters <= kInitialIters; iters *= 2) {
      const DispatchResult r = dispatch_once(timed, iters, *timer, *control);
      if (!r.ok()) {
        std::printf(" %u: %s\n", iters, r.error().detail.c_str());
        return;
      }
      std::printf(" %u: %.1f", iters, r.value());
      // Doubling again would likely pass the hang limit.
      if (r.value() > kDispatchHangLimitMs / 2.5) break;
    }
    std::printf("\n");
    // A software device can need longer than the hang limit at the initial size; starting
    // from the smallest one still measures how the duty cycle follows the duty.
    tune.iters = kMinIters;
    const CalibrationResult cal = calibrate(timed, *timer, *control, sender, tune);
    if (cal.end != CalibrationEnd::Complete) {
      std::printf("calibration did not complete (slow or failing device)\n");
      return;
    }
    std::printf("calibrated: iters %u, last dispatch %.1f ms\n", tune.iters, cal.last_ms);

    timed.reset();
    for (int i = 0; i < 40; ++i) {
      const DispatchResult r = dispatch_once(timed, tune.iters, *timer, *control);
      if (!r.ok()) {
        std::printf("dispatch failed: %s\n", r.error().detail.c_str());
        return;
      }
    }
    const auto& ms = timed.dispatch_ms;
    double mean = 0;
    for (double m : ms) mean += m / static_cast<double>(ms.size());
    double var = 0;
    for (double m : ms) var += (m - mean) * (m - mean) / static_cast<double>(ms.size());
    std::printf("dispatch time over %zu dispatches: min %.2f  p50 %.2f  p90 %.2f  max %.2f ms,"
                " mean %.2f, cv %.1f%%\n",
                ms.size(), percentile(ms, 0), percentile(ms, 0.5), percentile(ms, 0.9),
                percentile(ms, 1), mean, mean > 0 ? 100 * std::sqrt(var) / mean : 0.0);
  }

  drain_failure(receiver);
  std::printf("duty asked | busy share | error | dispatches | p50 ms | ended by (%.1f s each)\n",
              seconds);
  for (int tenth = 1; tenth <= 9; ++tenth) {
    auto control = fresh_control();
    auto timer = create_os_gpu_timer(*control);
    control->gpu_duty_e4 = static_cast<uint32_t>(tenth * 1000);
    timed.reset();
    TuneState t = tune;
    const uint64_t t0 = os::monotonic_ns();
    std::thread gpu([&] { run_duty_cycle(*control, sender, t, *timer, timed); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    control->stop_requested = true;
    if (control->stop_event) control->stop_event->signal();
    gpu.join();
    const double wall = static_cast<double>(os::monotonic_ns() - t0);
    const double share = static_cast<double>(timed.busy_ns) / wall;
    std::printf("   %.1f     |   %.3f    | %+.3f |   %5zu    | %6.2f | %s\n", tenth / 10.0, share,
                share - tenth / 10.0, timed.dispatch_ms.size(), percentile(timed.dispatch_ms, 0.5),
                drain_failure(receiver).c_str());
  }
}

KL_BENCH("gpu_vulkan", run);

}  // namespace
}  // namespace kestrune
