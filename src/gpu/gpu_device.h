#pragma once
// The narrow seam between the dispatch loop and the graphics device.

#include <cstdint>

#include "gpu/device_error.h"

namespace kestrune {

/// One completion poll of the event query: GetData's result (negative: failure; 1, "not yet
/// complete", is no failure) and the done flag it wrote.
struct QueryPoll {
  int32_t result = 0;
  bool done = false;
};

/// A ready compute pipeline: shader, output, constant block P and event query all bound.
/// Used by the GPU thread only.
class GpuDevice {
 public:
  virtual ~GpuDevice() = default;
  /// The iters value the constant block currently holds (kInitialIters after set-up).
  virtual uint32_t uploaded_iters() const = 0;
  /// Writes the whole constant block with `iters`.
  virtual void upload_iters(uint32_t iters) = 0;
  /// Dispatches 4096 x 1 x 1 groups, ends the event query behind them and flushes.
  virtual void dispatch_end_flush() = 0;
  /// Asks the event query, without flushing, whether the work is done.
  virtual QueryPoll poll() = 0;
  /// GetDeviceRemovedReason: 0 while the device is fine.
  virtual int32_t removed_reason() = 0;
  /// Names a failed call for reports; each graphics API names its own result codes. The
  /// default names Direct3D results.
  virtual GpuFailure describe_error(int32_t removed, int32_t call_result) const {
    return describe_device_error(removed, call_result);
  }
  /// Names a dispatch that outlived the hang limit.
  virtual GpuFailure describe_hang(int32_t removed) const { return hang_failure(removed); }
};

}  // namespace kestrune
