#include "gpu/dispatch.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "protocol/error_codes.h"

namespace kestrune {

void adapt_iters(TuneState& state, double ms) {
  if (ms > kSlowDispatchMs) {
    if (state.slow_count < UINT32_MAX) ++state.slow_count;
    if (state.slow_count > 1) state.slow = true;
  } else {
    state.slow_count = 0;
  }
  double f = ms > 0 ? 20.0 / ms : 8.0;
  if (ms > 60) {
    f = std::min(f, 0.5);
  } else if (ms > 30) {
    f = std::min(f, 0.6);
  } else {
    f = std::min(f, 8.0);
  }
  // Clamp in floating point before converting: the product may exceed u32.
  const double next = std::floor(static_cast<double>(state.iters) * f);
  state.iters = static_cast<uint32_t>(
      std::clamp(next, static_cast<double>(kMinIters), static_cast<double>(kMaxIters)));
}

namespace {

double elapsed_ms(uint64_t t0, uint64_t now) {
  return now > t0 ? static_cast<double>(now - t0) / 1e6 : 0.0;
}

}  // namespace

DispatchResult dispatch_once(GpuDevice& device, uint32_t iters, GpuTimer& timer,
                             const LoadControl& control) {
  if (iters != device.uploaded_iters()) device.upload_iters(iters);
  const uint64_t t0 = timer.now_ns();
  device.dispatch_end_flush();
  DevicePoll poll = device.poll();
  // Bounded by the hang limit: every pass either returns or lets the clock run.
  for (;;) {
    if (poll.state == PollState::Failed) return Failure<GpuFailure>{std::move(poll.failure)};
    if (poll.state == PollState::Done) return elapsed_ms(t0, timer.now_ns());
    const uint64_t now = timer.now_ns();
    if (now >= t0 && now - t0 >= kDispatchHangLimitNs) {
      return Failure<GpuFailure>{device.hang_failure()};
    }
    if (control.stop_requested.load()) return elapsed_ms(t0, now);
    timer.poll_pause();
    poll = device.poll();
  }
}

void send_init_failure(const CommandSender& commands, std::string err) {
  GpuInfo info;
  info.ok = false;
  info.err = std::move(err);
  commands.send(GpuInit{std::move(info)});  // dropped when the supervisor is gone
}

CalibrationResult calibrate(GpuDevice& device, GpuTimer& timer, const LoadControl& control,
                            const CommandSender& commands, TuneState& tune) {
  for (int n = 1; n <= kMaxCalibrationDispatches; ++n) {
    if (control.stop_requested.load()) return {CalibrationEnd::Stopped};
    const DispatchResult r = dispatch_once(device, tune.iters, timer, control);
    if (!r.ok()) {
      send_init_failure(commands, r.error().code);
      return {CalibrationEnd::Reported};
    }
    // A dispatch cut short by the stop has no meaningful time: neither success nor "slow".
    if (control.stop_requested.load()) return {CalibrationEnd::Stopped};
    const double ms = r.value();
    adapt_iters(tune, ms);
    if (tune.slow) {
      send_init_failure(commands, error_code::kGpuSlow);
      return {CalibrationEnd::Reported};
    }
    if ((ms >= kCalibratedMinMs && ms <= kCalibratedMaxMs) || n == kMaxCalibrationDispatches) {
      return {CalibrationEnd::Complete, ms};
    }
  }
  return {CalibrationEnd::Stopped};  // not reached: the fifth dispatch always completes
}

double round_dispatch_ms(double ms) {
  if (!std::isfinite(ms)) return 0.0;
  return std::round(ms * 10.0) / 10.0;
}

}  // namespace kestrune
