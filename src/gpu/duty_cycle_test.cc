#include "gpu/duty_cycle.h"

#include <gtest/gtest.h>

#include "gpu/d3d11_result.h"
#include "fakes/fake_gpu.h"

namespace kestrune {
namespace duty_cycle_test {

using fake::FakeDispatch;
using fake::FakeGpu;
using fake::kMs;

constexpr uint64_t kPeriod = 100 * kMs;

// Runs the duty cycle to its end; a late stop keeps a broken loop from running forever.
std::vector<SupervisorMsg> run(FakeGpu& g, TuneState tune = {}) {
  g.stop_at(600'000 * kMs);
  run_duty_cycle(*g.control, g.sender, tune, g.timer, g.device);
  return g.reports();
}

std::vector<uint64_t> dispatch_starts(const FakeGpu& g) {
  std::vector<uint64_t> out;
  for (const auto& d : g.device.dispatches) out.push_back(d.at / kMs);
  return out;
}

TEST(DutyCycle, SmallestDutyDispatchesOncePerPeriodDespiteLateWakes) {
  FakeGpu g;
  g.clock.now = 12 * kMs;
  g.control->gpu_duty_e4 = 1;  // a 10 us on-phase
  g.timer.late_wake_ns = 70'000;
  g.device.otherwise = FakeDispatch::after(2);
  g.stop_at(350 * kMs);
  run(g);
  std::vector<uint64_t> starts;
  for (const auto& d : g.device.dispatches) starts.push_back(d.at);
  EXPECT_EQ(starts, (std::vector<uint64_t>{100'070'000, 200'070'000, 300'070'000}));
}

TEST(DutyCycle, ThirtyPercentStartsDispatchesOnlyInTheFirst30Ms) {
  FakeGpu g;
  g.clock.now = 12 * kMs;  // the run may begin mid-period
  g.control->gpu_duty_e4 = 3000;
  g.device.otherwise = FakeDispatch::after(7);
  g.stop_at(350 * kMs);
  run(g);
  // The dispatch started at 26 (and 128, 228, 328) still runs to completion past 30.
  EXPECT_EQ(dispatch_starts(g), (std::vector<uint64_t>{12, 19, 26, 100, 107, 114, 121, 128,
                                                       200, 207, 214, 221, 228, 300, 307, 314,
                                                       321, 328}));
  for (const auto& w : g.timer.idle_waits) {
    if (w.to < 350 * kMs) {
      EXPECT_EQ(w.to % kPeriod, 0u);
    }
  }
}

TEST(DutyCycle, DutyZeroIdlesFromBoundaryToBoundary) {
  FakeGpu g;
  g.clock.now = 1234 * kMs;
  g.stop_at(1650 * kMs);
  const auto reports = run(g);
  EXPECT_TRUE(g.device.dispatches.empty());
  EXPECT_TRUE(reports.empty());
  ASSERT_EQ(g.timer.idle_waits.size(), 5u);
  uint64_t expect_from = 1234 * kMs;
  for (const auto& w : g.timer.idle_waits) {
    EXPECT_EQ(w.from, expect_from);
    expect_from = (w.from / kPeriod + 1) * kPeriod;
  }
  EXPECT_EQ(g.timer.idle_waits.back().to, 1650 * kMs);  // cut short by the stop event
}

TEST(DutyCycle, FullDutyRunsBackToBackAcrossBoundaries) {
  FakeGpu g;
  g.control->gpu_duty_e4 = 10000;
  g.device.otherwise = FakeDispatch::after(30);
  g.stop_at(200 * kMs);
  run(g);
  EXPECT_EQ(dispatch_starts(g), (std::vector<uint64_t>{0, 30, 60, 90, 120, 150, 180}));
  EXPECT_TRUE(g.timer.idle_waits.empty());
}

TEST(DutyCycle, DutyDroppedToZeroStopsBeforeTheNextDispatch) {
  FakeGpu g;
  g.control->gpu_duty_e4 = 10000;
  g.device.otherwise = FakeDispatch::after(10);
  g.duty_at(35 * kMs, 0);
  g.stop_at(250 * kMs);
  run(g);
  EXPECT_EQ(dispatch_starts(g), (std::vector<uint64_t>{0, 10, 20, 30}));
  ASSERT_EQ(g.timer.idle_waits.size(), 3u);
  EXPECT_EQ(g.timer.idle_waits[0].from, 40 * kMs);  // right after the running dispatch
  EXPECT_EQ(g.timer.idle_waits[0].to, 100 * kMs);
}

TEST(DutyCycle, FirstDispatchIsSampledThenAtMostEvery250Ms) {
  FakeGpu g;
  g.clock.now = 50 * kMs;  // less than a second after base_instant
  g.control->gpu_duty_e4 = 10000;
  // Dispatch i takes 20 + i/1000 ms, so a sample names its dispatch.
  for (int i = 0; i < 60; ++i) g.device.script.push_back(FakeDispatch::after(20 + i * 1e-3));
  g.stop_at(1050 * kMs);
  std::vector<long> sampled;
  for (const auto& m : run(g)) {
    ASSERT_TRUE(std::holds_alternative<GpuSample>(m));
    sampled.push_back(std::lround((std::get<GpuSample>(m).ms - 20) * 1000));
  }
  EXPECT_EQ(sampled, (std::vector<long>{0, 13, 26, 39}));
}

TEST(DutyCycle, NoSamplesWhileIdle) {
  FakeGpu g;
  g.control->gpu_duty_e4 = 3000;
  g.device.otherwise = FakeDispatch::after(10);
  g.stop_at(1000 * kMs);
  // Ends at 10, 20, 30 | 110, 120, 130 | ...: samples at 10, 310, 610, 910.
  EXPECT_EQ(run(g).size(), 4u);
}

TEST(DutyCycle, FailuresEndTheRunWithOneReport) {
  struct Case {
    const char* what;
    std::function<void(FakeGpu&)> arrange;
    GpuFailed failed;
    size_t dispatches;
  } cases[] = {
      {"removed between dispatches",
       [](FakeGpu& g) {
         g.clock.at(45 * kMs, [&g] { g.device.removed = kDxgiErrorDeviceRemoved; });
       },
       {"gpuDeviceRemoved", "DXGI_ERROR_DEVICE_REMOVED (0x887A0005)"}, 3},
      {"poll fails",
       [](FakeGpu& g) {
         g.device.then({20});
         g.device.script.push_back(FakeDispatch::poll_fails(kDxgiErrorDeviceHung));
       },
       {"gpuDeviceRemoved", "DXGI_ERROR_DEVICE_HUNG (0x887A0006)"}, 2},
      {"hang without removal reason",
       [](FakeGpu& g) { g.device.script = {FakeDispatch::never()}; },
       {"gpuDeviceRemoved", "DXGI_ERROR_DEVICE_HUNG (0x887A0006) after 1500 ms"}, 1},
      {"two slow dispatches", [](FakeGpu& g) { g.device.then({300, 20, 260, 300}); },
       {"gpuSlow", "two dispatches above 250 ms"}, 4},
      {"idle wait fails",
       [](FakeGpu& g) {
         g.control->gpu_duty_e4 = 3000;
         g.timer.failing_idle_waits = {1};
       },
       {"timer", "waitable timer failed"}, 4},
  };
  for (const Case& c : cases) {
    FakeGpu g;
    g.control->gpu_duty_e4 = 10000;
    g.device.otherwise = FakeDispatch::after(20);
    c.arrange(g);
    const auto reports = run(g);
    ASSERT_FALSE(reports.empty()) << c.what;
    const auto* failed = std::get_if<GpuFailed>(&reports.back());
    ASSERT_NE(failed, nullptr) << c.what;
    EXPECT_EQ(failed->code, c.failed.code) << c.what;
    EXPECT_EQ(failed->detail, c.failed.detail) << c.what;
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
      EXPECT_TRUE(std::holds_alternative<GpuSample>(reports[i])) << c.what;
    }
    EXPECT_EQ(g.device.dispatches.size(), c.dispatches) << c.what;
    EXPECT_FALSE(g.control->stop_requested) << c.what << ": ended by the stop, not the failure";
  }
}

TEST(DutyCycle, SlowAcrossTheCalibrationBoundary) {
  FakeGpu g;
  g.control->gpu_duty_e4 = 10000;
  g.device.then({300});
  const auto reports = run(g, TuneState{16, 1, false});  // calibration ended on a slow one
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_DOUBLE_EQ(std::get<GpuSample>(reports[0]).ms, 300);
  EXPECT_EQ(std::get<GpuFailed>(reports[1]).code, "gpuSlow");
}

TEST(DutyCycle, StopEndsWaitsAtOnceWithoutReports) {
  for (uint32_t duty : {0u, 10000u}) {  // idle wait, dispatch wait
    FakeGpu g;
    g.control->gpu_duty_e4 = duty;
    g.device.otherwise = FakeDispatch::never();
    g.stop_at(42 * kMs);
    EXPECT_TRUE(run(g).empty()) << duty;
    EXPECT_EQ(g.clock.now, 42 * kMs) << duty;
  }
}

}  // namespace duty_cycle_test
}  // namespace kestrune
