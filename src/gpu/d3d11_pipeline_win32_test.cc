// The real Direct3D 11 path. Under Wine it needs a display (xvfb-run) and runs on the
// stand-in bytecode, because Wine's compiler rejects the shader; without a display the
// tests skip. Software rasterisers are slow: assert completion and release, not timings.

#include "gpu/d3d11_pipeline_win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "dxbc/dxbc_container.h"
#include "gpu/dispatch.h"
#include "gpu/gpu_thread.h"
#include "os/clock.h"

namespace kestrune {
namespace d3d11_pipeline_win32_test {

// Opens the pipeline, or explains why the test cannot run here. Where the test command
// says a display is there (KL_EXPECT_DISPLAY=1), a missing adapter is a failure instead:
// a green run must mean the real pipeline ran.
std::optional<std::string> open_or_skip_reason(D3d11Setup& objects) {
  const Result<void> opened =
      open_d3d11(std::nullopt, objects, {.shader_fallback = dxbc::compute_shader_fallback()});
  if (!opened.ok() && opened.error() == "noAdapter" && objects.adapters.empty()) {
    const char* expect = std::getenv("KL_EXPECT_DISPLAY");
    if (expect != nullptr && std::string(expect) == "1") {
      ADD_FAILURE() << "no display adapter, though KL_EXPECT_DISPLAY=1 says there is a display";
    }
    return "no display adapter here (under Wine, run with xvfb-run)";
  }
  EXPECT_TRUE(opened.ok()) << opened.error();
  return std::nullopt;
}

TEST(D3D11Pipeline, DispatchCompletesAndEverythingIsReleased) {
  ID3D11Device* device = nullptr;
  {
    D3d11Setup objects;
    if (auto why = open_or_skip_reason(objects)) GTEST_SKIP() << *why;
    ASSERT_TRUE(objects.pipeline);
    ASSERT_TRUE(objects.chosen);
    EXPECT_FALSE(objects.adapters[*objects.chosen].info.name.empty());
    EXPECT_FALSE(objects.bytecode.empty());

    D3d11Pipeline& p = *objects.pipeline;
    EXPECT_EQ(p.uploaded_iters(), 256u);
    p.upload_iters(16);  // the smallest work: a software rasteriser takes ~0.1 s for it
    EXPECT_EQ(p.uploaded_iters(), 16u);
    p.dispatch_end_flush();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    DevicePoll q = p.poll();
    while (q.state == PollState::Pending && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      q = p.poll();
    }
    EXPECT_EQ(q.state, PollState::Done) << q.failure.detail;
    EXPECT_EQ(p.device->GetDeviceRemovedReason(), S_OK);

    device = p.device.Get();
    device->AddRef();
  }
  // Our own reference is the last one: nothing else of the set-up kept the device alive.
  EXPECT_EQ(device->Release(), 0u);
}

TEST(D3D11Pipeline, DispatchOnceOnTheRealDevice) {
  D3d11Setup objects;
  if (auto why = open_or_skip_reason(objects)) GTEST_SKIP() << *why;
  ASSERT_TRUE(objects.pipeline);
  LoadControl control;
  control.base_instant_ns = os::monotonic_ns();
  std::unique_ptr<GpuTimer> timer = create_os_gpu_timer(control);
  ASSERT_TRUE(timer);
  const DispatchResult r = dispatch_once(*objects.pipeline, 16, *timer, control);
  if (!r.ok()) {
    // Only a machine too loaded to finish 16 iterations in 1.5 s gets here.
    EXPECT_EQ(r.error().code, "gpuDeviceRemoved");
    EXPECT_NE(r.error().detail.find("after 1500 ms"), std::string::npos) << r.error().detail;
  } else {
    EXPECT_GT(r.value(), 0.0);
  }
  EXPECT_EQ(objects.pipeline->uploaded_iters(), 16u);
}

}  // namespace d3d11_pipeline_win32_test
}  // namespace kestrune
