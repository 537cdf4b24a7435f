#pragma once
// The narrow seam between the dispatch loop and the graphics device. It speaks no graphics
// API: each backend names its own failures.

#include <cstdint>
#include <string>
#include <utility>

namespace kestrune {

/// A GPU failure as the supervisor receives it.
struct GpuFailure {
  std::string code;    // always "gpuDeviceRemoved" for device errors
  std::string detail;  // the backend's name and number of the failing result
  bool operator==(const GpuFailure&) const = default;
};

/// The work size (the shaders' loop count) after set-up, and the bounds tuning keeps it in.
inline constexpr uint32_t kInitialIters = 256;
inline constexpr uint32_t kMinIters = 16;
inline constexpr uint32_t kMaxIters = 1'048'576;

/// Thread groups per dispatch, and threads per group (the shaders' group size).
inline constexpr uint32_t kDispatchGroups = 4096;
inline constexpr uint32_t kGroupThreads = 256;

/// A dispatch still incomplete this long counts as a hung device.
inline constexpr uint32_t kDispatchHangLimitMs = 1500;
inline constexpr uint64_t kDispatchHangLimitNs = uint64_t{kDispatchHangLimitMs} * 1'000'000;

/// Where the last dispatch stands.
enum class PollState : uint8_t { Pending, Done, Failed };

/// One completion poll: the state and, when it failed, the failure as the backend names it.
struct DevicePoll {
  PollState state = PollState::Pending;
  GpuFailure failure;  // with Failed

  static DevicePoll pending() { return {}; }
  static DevicePoll done() { return {PollState::Done, {}}; }
  static DevicePoll failed(GpuFailure f) { return {PollState::Failed, std::move(f)}; }
};

/// A ready compute pipeline: shader, output, constant block P and completion signal all
/// bound. Used by the GPU thread only.
class GpuDevice {
 public:
  virtual ~GpuDevice() = default;
  /// The iters value the constant block currently holds (kInitialIters after set-up).
  virtual uint32_t uploaded_iters() const = 0;
  /// Writes the whole constant block with `iters`.
  virtual void upload_iters(uint32_t iters) = 0;
  /// Dispatches 4096 x 1 x 1 groups, marks their completion and flushes.
  virtual void dispatch_end_flush() = 0;
  /// Asks, without flushing, whether the work is done. A failing poll, or a device found
  /// lost when the work completed, is Failed.
  virtual DevicePoll poll() = 0;
  /// Names a dispatch that outlived the hang limit.
  virtual GpuFailure hang_failure() = 0;
};

}  // namespace kestrune
