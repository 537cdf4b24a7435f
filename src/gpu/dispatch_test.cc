#include "gpu/dispatch.h"

#include <gtest/gtest.h>

#include "fakes/fake_gpu.h"
#include "gpu/d3d11_result.h"

namespace kestrune {

namespace adapt_iters_test {

TEST(AdaptIters, RescalesTowardsTwentyMilliseconds) {
  struct Case {
    uint32_t iters;
    double ms;
    uint32_t next;
  } cases[] = {
      {256, 2, 2048},        // f = 10, capped at 8
      {2048, 16, 2560},      // f = 1.25
      {2560, 45, 1137},      // f = 20/45 (under the 0.6 cap)
      {1000, 31, 600},       // 20/31 = 0.645 capped at 0.6
      {1000, 30, 666},       // 30 ms is not above 30: f = 20/30
      {1000, 61, 327},       // 20/61 under the 0.5 cap
      {1000, 100, 200},      // f = 0.2
      {1000, 40.5, 493},
      {256, 0, 2048},        // 0 ms: f = 8
      {256, 20, 256},
      {20, 100, 16},         // floor at 16
      {1'000'000, 1, 1'048'576},  // cap at 1,048,576
      {1'048'576, 2.5, 1'048'576},
  };
  for (const Case& c : cases) {
    TuneState s{c.iters, 0, false};
    adapt_iters(s, c.ms);
    EXPECT_EQ(s.iters, c.next) << c.iters << " iters at " << c.ms << " ms";
  }
}

TEST(AdaptIters, TwoSlowDispatchesInARowSetSlowForGood) {
  TuneState s;
  adapt_iters(s, 300);
  EXPECT_EQ(s.slow_count, 1u);
  EXPECT_FALSE(s.slow);
  adapt_iters(s, 250);  // not above 250: resets
  EXPECT_EQ(s.slow_count, 0u);
  adapt_iters(s, 251);
  adapt_iters(s, 1e9);
  EXPECT_TRUE(s.slow);
  adapt_iters(s, 1);
  EXPECT_TRUE(s.slow);
  EXPECT_EQ(s.slow_count, 0u);
}

TEST(AdaptIters, ItersStayInBoundsWhateverTheTimes) {
  TuneState s;
  for (double ms : {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1e-9}) adapt_iters(s, ms);
  EXPECT_EQ(s.iters, kMaxIters);
  adapt_iters(s, 1e12);
  EXPECT_EQ(s.iters, kMinIters);
}

}  // namespace adapt_iters_test

namespace dispatch_once_test {

using fake::FakeDispatch;
using fake::FakeGpu;
using fake::kMs;

TEST(DispatchOnce, UploadsOnlyChangedItersAndMeasuresCompletion) {
  FakeGpu g;
  g.clock.now = 7 * kMs;
  g.device.script = {FakeDispatch::after(15.55), FakeDispatch::after(3), FakeDispatch::after(4)};
  DispatchResult r = dispatch_once(g.device, 256, g.timer, *g.control);
  ASSERT_TRUE(r.ok());
  EXPECT_DOUBLE_EQ(r.value(), 15.55);
  EXPECT_TRUE(g.device.uploads.empty());  // 256 is already in P
  // One poll right after the flush, then one per 1 ms pause.
  EXPECT_EQ(g.timer.pauses, 16);
  EXPECT_EQ(g.device.polls, 17);

  (void)dispatch_once(g.device, 300, g.timer, *g.control);
  (void)dispatch_once(g.device, 300, g.timer, *g.control);
  EXPECT_EQ(g.device.uploads, std::vector<uint32_t>{300});
  ASSERT_EQ(g.device.dispatches.size(), 3u);
  EXPECT_EQ(g.device.dispatches[1].iters, 300u);
  EXPECT_EQ(g.device.dispatches[0].at, 7 * kMs);
}

TEST(DispatchOnce, FailuresAreNamedByTheDevice) {
  struct Case {
    const char* what;
    FakeDispatch dispatch;
    int32_t removed;  // removal reason the device reports throughout
    const char* detail;
    double fails_after_ms;
  } cases[] = {
      {"poll fails, no removal reason", FakeDispatch::poll_fails(kDxgiErrorDeviceRemoved), 0,
       "DXGI_ERROR_DEVICE_REMOVED (0x887A0005)", 0},
      {"poll fails, removal reason wins",
       FakeDispatch::poll_fails(static_cast<int32_t>(0x80070057)),
       kDxgiErrorDeviceReset, "DXGI_ERROR_DEVICE_RESET (0x887A0007)", 0},
      {"removed on completion", FakeDispatch::removed_after(12, kDxgiErrorDeviceRemoved), 0,
       "DXGI_ERROR_DEVICE_REMOVED (0x887A0005)", 12},
      {"unknown removal reason after completion",
       FakeDispatch::removed_after(3, static_cast<int32_t>(0x80004005)), 0,
       "HRESULT (0x80004005)", 3},
      {"hang without removal reason", FakeDispatch::never(), 0,
       "DXGI_ERROR_DEVICE_HUNG (0x887A0006) after 1500 ms", 1500},
      {"hang with removal reason", FakeDispatch::never(), kDxgiErrorDriverInternalError,
       "DXGI_ERROR_DRIVER_INTERNAL_ERROR (0x887A0020) after 1500 ms", 1500},
  };
  for (const Case& c : cases) {
    FakeGpu g;
    g.device.script = {c.dispatch};
    g.device.removed = c.removed;
    const DispatchResult r = dispatch_once(g.device, 256, g.timer, *g.control);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.error(), (GpuFailure{"gpuDeviceRemoved", c.detail})) << c.what;
    EXPECT_EQ(g.clock.now, fake::ms_to_ns(c.fails_after_ms)) << c.what;
  }
}

TEST(DispatchOnce, CompletionAtTheHangLimitStillCounts) {
  FakeGpu g;
  g.device.script = {FakeDispatch::after(1500)};
  const DispatchResult r = dispatch_once(g.device, 256, g.timer, *g.control);
  ASSERT_TRUE(r.ok());
  EXPECT_DOUBLE_EQ(r.value(), 1500.0);
}

TEST(DispatchOnce, StopEndsTheWaitWithoutFailure) {
  for (bool stop_event : {true, false}) {
    FakeGpu g;
    g.timer.has_stop_event = stop_event;
    g.device.script = {FakeDispatch::never()};
    g.stop_at(fake::ms_to_ns(5.3));
    const DispatchResult r = dispatch_once(g.device, 256, g.timer, *g.control);
    ASSERT_TRUE(r.ok());
    // The stop event wakes the wait at once; without one the 1 ms tick ends it.
    EXPECT_DOUBLE_EQ(r.value(), stop_event ? 5.3 : 6.0);
  }
}

}  // namespace dispatch_once_test

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
