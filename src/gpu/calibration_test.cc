#include "gpu/calibration.h"

#include <gtest/gtest.h>

#include "gpu/device_error.h"
#include "gpu/fake_gpu.h"

namespace kestrune {
namespace calibration_test {

using fake::FakeDispatch;
using fake::FakeGpu;
using fake::kMs;

struct Calibrated {
  CalibrationResult result;
  TuneState tune;
  size_t dispatches;
  std::vector<SupervisorMsg> reports;
};

Calibrated calibrate_with(FakeGpu& g) {
  TuneState tune;
  const CalibrationResult r = calibrate(g.device, g.timer, *g.control, g.sender, tune);
  return {r, tune, g.device.dispatches.size(), g.reports()};
}

std::optional<std::string> init_error(const std::vector<SupervisorMsg>& reports) {
  if (reports.size() != 1 || !std::holds_alternative<GpuInit>(reports[0])) return "not one Init";
  const GpuInfo& info = std::get<GpuInit>(reports[0]).info;
  EXPECT_FALSE(info.ok);
  EXPECT_FALSE(info.name || info.vendor_id || info.dispatch_ms);
  return info.err;
}

TEST(Calibration, EndsOnTheFirstDispatchInsideTheWindow) {
  struct Case {
    std::vector<double> ms;
    size_t dispatches;
    double last;
  } cases[] = {
      {{15}, 1, 15},
      {{25}, 1, 25},
      {{30, 14.99, 25.01, 20}, 4, 20},
      {{2, 2, 2, 2, 40.25, 20}, 5, 40.25},  // never inside: exactly five
      {{300, 100, 300, 100, 300}, 5, 300},  // slow ones not in a row
  };
  for (const Case& c : cases) {
    FakeGpu g;
    for (double ms : c.ms) g.device.script.push_back(FakeDispatch::after(ms));
    const Calibrated run = calibrate_with(g);
    EXPECT_EQ(run.result.end, CalibrationEnd::Complete);
    EXPECT_EQ(run.dispatches, c.dispatches);
    EXPECT_DOUBLE_EQ(run.result.last_ms, c.last);
    EXPECT_TRUE(run.reports.empty());  // success is reported by the thread body
  }
}

TEST(Calibration, ItersAreRescaledAfterEveryDispatchIncludingTheLast) {
  FakeGpu g;
  g.device.then({2, 14, 50, 100, 10});
  const Calibrated run = calibrate_with(g);
  std::vector<uint32_t> iters;
  for (const auto& d : g.device.dispatches) iters.push_back(d.iters);
  EXPECT_EQ(iters, (std::vector<uint32_t>{256, 2048, 2925, 1170, 234}));
  EXPECT_EQ(run.tune.iters, 468u);  // the run starts from the fifth dispatch's rescaling
}

TEST(Calibration, FailuresSendInitWithTheCodeOnly) {
  struct Case {
    std::vector<FakeDispatch> script;
    const char* err;
    size_t dispatches;
  } cases[] = {
      {{FakeDispatch::after(300), FakeDispatch::after(251)}, "gpuSlow", 2},
      {{FakeDispatch::after(5), FakeDispatch::removed_after(5, kDxgiErrorDeviceRemoved)},
       "gpuDeviceRemoved", 2},
      {{FakeDispatch::poll_fails(kDxgiErrorDeviceHung)}, "gpuDeviceRemoved", 1},
      {{FakeDispatch::never()}, "gpuDeviceRemoved", 1},
  };
  for (const Case& c : cases) {
    FakeGpu g;
    g.device.script.assign(c.script.begin(), c.script.end());
    const Calibrated run = calibrate_with(g);
    EXPECT_EQ(run.result.end, CalibrationEnd::Reported);
    EXPECT_EQ(run.dispatches, c.dispatches);
    EXPECT_EQ(init_error(run.reports), c.err);
  }
}

TEST(Calibration, StopMeansNoReport) {
  // Before the first dispatch, between two, and in the middle of one whose time so far
  // (20 ms) would otherwise have completed calibration.
  for (uint64_t stop_at : {uint64_t{0}, 31 * kMs, 50 * kMs}) {
    FakeGpu g;
    g.device.then({30, 40});
    if (stop_at == 0) {
      g.control->stop_requested = true;
    } else {
      g.stop_at(stop_at);
    }
    const Calibrated run = calibrate_with(g);
    EXPECT_EQ(run.result.end, CalibrationEnd::Stopped) << stop_at;
    EXPECT_TRUE(run.reports.empty()) << stop_at;
  }
}

TEST(Calibration, RoundsDispatchTimeHalfAwayFromZero) {
  EXPECT_DOUBLE_EQ(round_dispatch_ms(40.25), 40.3);
  EXPECT_DOUBLE_EQ(round_dispatch_ms(40.24), 40.2);
  EXPECT_DOUBLE_EQ(round_dispatch_ms(0.05), 0.1);
  EXPECT_DOUBLE_EQ(round_dispatch_ms(1500), 1500);
}

}  // namespace calibration_test
}  // namespace kestrune
