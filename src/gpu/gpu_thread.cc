#include "gpu/gpu_thread.h"

#include "gpu/dispatch.h"
#include "gpu/duty_cycle.h"
#include "os/thread.h"
#include "os/waitable_timer.h"
#include "protocol/error_codes.h"

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

std::unique_ptr<GpuTimer> create_os_gpu_timer(const LoadControl& control,
                                              const TimerSource& timers) {
  std::unique_ptr<os::WaitableTimer> timer = timers.create();
  if (!timer) return nullptr;
  return std::make_unique<OsGpuTimer>(std::move(timer), control);
}

namespace {

void send_init(const CommandSender& commands, GpuInfo info) {
  commands.send(GpuInit{std::move(info)});
}

// Everything between counting in and cleaning up; every object it makes is gone on return.
void run_gpu_engine(const CommandSender& commands, const std::optional<std::string>& hint,
                    const LoadControl& control, GpuPlatform& platform) {
  std::unique_ptr<GpuTimer> timer = platform.create_timer(control);
  if (!timer) {
    send_init_failure(commands, error_code::kTimer);
    return;
  }
  GpuSetupResult setup = platform.open_gpu(hint);
  if (!setup.opened.ok()) {
    send_init_failure(commands, setup.opened.error());
  } else {
    const OpenedGpu& gpu = setup.opened.value();
    TuneState tune;
    tune.iters = first_calibration_iters(platform.calibration_start());
    const CalibrationResult cal = calibrate(*gpu.device, *timer, control, commands, tune);
    if (cal.end == CalibrationEnd::Complete) {
      GpuInfo info;
      info.ok = true;
      info.name = gpu.name;
      info.vendor_id = gpu.vendor_id;
      info.dispatch_ms = round_dispatch_ms(cal.last_ms);
      send_init(commands, std::move(info));
      run_duty_cycle(control, commands, tune, *timer, *gpu.device);
    }
  }
  setup.objects.reset();  // pipeline, bytecode, adapters, factory
  timer.reset();
}

}  // namespace

void gpu_thread_main(CommandSender commands, std::optional<std::string> hint,
                     LoadControlRef control, GpuPlatform& platform) {
  control->threads_started.fetch_add(1);
  platform.lower_priority();
  run_gpu_engine(commands, hint, *control, platform);
  hint.reset();
  control->threads_exited.fetch_add(1);
  control.reset();
  commands = CommandSender{};
}

namespace {

constexpr size_t kGpuThreadStackBytes = size_t{2} << 20;

class OsGpuPlatform final : public GpuPlatform {
 public:
  explicit OsGpuPlatform(const GpuSetupOptions& options) : options_(options) {}
  void lower_priority() override {
    os::set_current_thread_priority(os::ThreadPriority::BelowNormal);
  }
  std::unique_ptr<GpuTimer> create_timer(const LoadControl& control) override {
    return create_os_gpu_timer(control);
  }
  GpuSetupResult open_gpu(const std::optional<std::string>& hint) override {
    return open_gpu_setup(hint, options_);
  }
  CalibrationStart calibration_start() const override { return options_.calibration_start; }

 private:
  GpuSetupOptions options_;
};

}  // namespace

std::shared_ptr<GpuPlatform> os_gpu_platform(const GpuSetupOptions& options) {
  return std::make_shared<OsGpuPlatform>(options);
}

bool start_gpu_thread(const CommandSender& commands, std::optional<std::string> adapter_hint,
                      const LoadControlRef& control, std::shared_ptr<GpuPlatform> platform) {
  return os::start_thread(
      "burn-gpu", kGpuThreadStackBytes,
      [commands, hint = std::move(adapter_hint), control,
       platform = std::move(platform)]() mutable {
        gpu_thread_main(std::move(commands), std::move(hint), std::move(control), *platform);
      });
}

}  // namespace kestrune
