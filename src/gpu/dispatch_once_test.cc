#include "gpu/dispatch_once.h"

#include <gtest/gtest.h>

#include "gpu/fake_gpu.h"

namespace kestrune {
namespace dispatch_once_test {

using fake::FakeDispatch;
using fake::FakeGpu;
using fake::kMs;

TEST(DispatchOnce, UploadsOnlyChangedItersAndMeasuresCompletion) {
  FakeGpu g;
  g.clock.now = 7 * kMs;
  g.device.script = {FakeDispatch::after(15.55), FakeDispatch::after(3), FakeDispatch::after(4)};
  DispatchResult r = dispatch_once(g.device, 256, g.timer, *g.control);
  EXPECT_FALSE(r.failure);
  EXPECT_DOUBLE_EQ(r.ms, 15.55);
  EXPECT_TRUE(g.device.uploads.empty());  // 256 is already in P
  // One poll right after the flush, then one per 1 ms pause.
  EXPECT_EQ(g.timer.pauses, 16);
  EXPECT_EQ(g.device.polls, 17);

  dispatch_once(g.device, 300, g.timer, *g.control);
  dispatch_once(g.device, 300, g.timer, *g.control);
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
    ASSERT_TRUE(r.failure) << c.what;
    EXPECT_EQ(*r.failure, (GpuFailure{"gpuDeviceRemoved", c.detail})) << c.what;
    EXPECT_EQ(g.clock.now, fake::ms_to_ns(c.fails_after_ms)) << c.what;
  }
}

TEST(DispatchOnce, CompletionAtTheHangLimitStillCounts) {
  FakeGpu g;
  g.device.script = {FakeDispatch::after(1500)};
  const DispatchResult r = dispatch_once(g.device, 256, g.timer, *g.control);
  EXPECT_FALSE(r.failure);
  EXPECT_DOUBLE_EQ(r.ms, 1500.0);
}

TEST(DispatchOnce, StopEndsTheWaitWithoutFailure) {
  for (bool stop_event : {true, false}) {
    FakeGpu g;
    g.timer.has_stop_event = stop_event;
    g.device.script = {FakeDispatch::never()};
    g.stop_at(fake::ms_to_ns(5.3));
    const DispatchResult r = dispatch_once(g.device, 256, g.timer, *g.control);
    EXPECT_FALSE(r.failure);
    // The stop event wakes the wait at once; without one the 1 ms tick ends it.
    EXPECT_DOUBLE_EQ(r.ms, stop_event ? 5.3 : 6.0);
  }
}

}  // namespace dispatch_once_test
}  // namespace kestrune
