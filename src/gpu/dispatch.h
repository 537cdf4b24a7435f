#pragma once
// One compute dispatch and what is built on it: the wait for its completion, the work-size
// tuning towards a 20 ms dispatch, and the calibration that starts the GPU load.

#include <cstdint>
#include <optional>
#include <string>

#include "core/load_control.h"
#include "core/supervisor_msg.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_platform.h"
#include "util/result.h"

namespace kestrune {

/// A dispatch longer than this is slow; two in a row end the GPU load.
inline constexpr double kSlowDispatchMs = 250.0;

/// The work-size tuning carried from calibration into the run.
struct TuneState {
  uint32_t iters = kInitialIters;  // always within kMinIters..kMaxIters
  uint32_t slow_count = 0;         // consecutive slow dispatches
  bool slow = false;               // set once two in a row were slow; never cleared
  bool operator==(const TuneState&) const = default;
};

/// Counts slow dispatches and rescales iters towards a 20 ms dispatch after a dispatch
/// that took `ms`: factor 20/ms (8 for 0 ms), at most 0.5 above 60 ms, 0.6 above 30 ms,
/// 8 otherwise; the result is floored and clamped.
void adapt_iters(TuneState& state, double ms);

/// A dispatch's time in milliseconds, or the failure that ended it.
using DispatchResult = Result<double, GpuFailure>;

/// Runs one dispatch with `iters` (uploading P first when it changes) and waits for it by
/// polling the device once per poll_pause. Fails when a poll fails, or after 1.5 s without
/// completion (the device's hang_failure). When stop_requested is seen while waiting it
/// returns the time so far.
DispatchResult dispatch_once(GpuDevice& device, uint32_t iters, GpuTimer& timer,
                             const LoadControl& control);

/// The iters of the first calibration dispatch.
constexpr uint32_t first_calibration_iters(CalibrationStart start) {
  return start == CalibrationStart::Smallest ? kMinIters : kInitialIters;
}

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
