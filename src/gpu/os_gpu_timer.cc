#include "gpu/os_gpu_timer.h"

#include "os/thread.h"
#include "os/waitable_timer.h"

namespace kestrune {
namespace {

constexpr int64_t kPollDelay100ns = 10'000;  // 1 ms
constexpr uint32_t kPollWaitLimitMs = 51;

class OsGpuTimer final : public GpuTimer {
 public:
  OsGpuTimer(std::unique_ptr<os::WaitableTimer> timer, const LoadControl& control)
      : timer_(std::move(timer)), control_(control) {}

  uint64_t now_ns() override { return control_.now_ns(); }

  void poll_pause() override {
    if (!timer_->arm_relative(kPollDelay100ns)) {
      os::yield_processor();
      return;
    }
    // Timer, stop event and time-out all just lead to the next poll.
    if (os::wait_timer_or_stop(*timer_, control_.stop(), kPollWaitLimitMs) ==
        os::WaitResult::Failed) {
      os::yield_processor();
    }
  }

  WaitOutcome idle_wait(uint64_t ns) override {
    return timer_wait(*timer_, ns / 1'000'000'000, static_cast<uint32_t>(ns % 1'000'000'000),
                      control_.stop());
  }

 private:
  std::unique_ptr<os::WaitableTimer> timer_;
  const LoadControl& control_;
};

}  // namespace

std::unique_ptr<GpuTimer> create_os_gpu_timer(const LoadControl& control) {
  std::unique_ptr<os::WaitableTimer> timer = os::WaitableTimer::create(true);
  if (!timer) timer = os::WaitableTimer::create(false);
  if (!timer) return nullptr;
  return std::make_unique<OsGpuTimer>(std::move(timer), control);
}

}  // namespace kestrune
