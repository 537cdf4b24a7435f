#include "gpu/calibration.h"

#include <cmath>

#include "gpu/dispatch_once.h"
#include "protocol/error_codes.h"

namespace kestrune {

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
    if (r.failure) {
      send_init_failure(commands, r.failure->code);
      return {CalibrationEnd::Reported};
    }
    // A dispatch cut short by the stop has no meaningful time: neither success nor "slow".
    if (control.stop_requested.load()) return {CalibrationEnd::Stopped};
    adapt_iters(tune, r.ms);
    if (tune.slow) {
      send_init_failure(commands, error_code::kGpuSlow);
      return {CalibrationEnd::Reported};
    }
    if ((r.ms >= kCalibratedMinMs && r.ms <= kCalibratedMaxMs) || n == kMaxCalibrationDispatches) {
      return {CalibrationEnd::Complete, r.ms};
    }
  }
  return {CalibrationEnd::Stopped};  // not reached: the fifth dispatch always completes
}

double round_dispatch_ms(double ms) {
  if (!std::isfinite(ms)) return 0.0;
  return std::round(ms * 10.0) / 10.0;
}

}  // namespace kestrune
