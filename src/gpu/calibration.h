#pragma once
#include <cstdint>
#include <string>

#include "gpu/adapt_iters.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_timer.h"
#include "main/load_control.h"
#include "main/supervisor_msg.h"

namespace kestrune {

inline constexpr int kMaxCalibrationDispatches = 5;
/// A calibration dispatch inside this window (inclusive) ends calibration early.
inline constexpr double kCalibratedMinMs = 15.0;
inline constexpr double kCalibratedMaxMs = 25.0;

enum class CalibrationEnd {
  Complete,  // the caller reports success with last_ms
  Reported,  // a failing Init was sent
  Stopped,   // stop_requested was seen; nothing was sent
};

struct CalibrationResult {
  CalibrationEnd end = CalibrationEnd::Stopped;
  double last_ms = 0.0;  // the last dispatch's time, with Complete
};

/// Up to five dispatches from `tune` (normally fresh), each followed by adapt_iters, until
/// one lands in 15..25 ms. A failing dispatch or two slow ones in a row send Init with ok
/// false ("gpuDeviceRemoved", "gpuSlow"). The duty is not consulted. A dispatch cut short by
/// stop_requested ends calibration without any report.
CalibrationResult calibrate(GpuDevice& device, GpuTimer& timer, const LoadControl& control,
                            const CommandSender& commands, TuneState& tune);

/// Sends the Init report of a start-up that failed: ok false with `err`, the rest absent.
void send_init_failure(const CommandSender& commands, std::string err);

/// Rounds a dispatch time to one decimal, halves away from zero (0 when not finite).
double round_dispatch_ms(double ms);

}  // namespace kestrune
