#include "gpu/dispatch_once.h"

namespace kestrune {
namespace {

constexpr uint64_t kHangLimitNs = uint64_t{kDispatchHangLimitMs} * 1'000'000;

double elapsed_ms(uint64_t t0, uint64_t now) {
  return now > t0 ? static_cast<double>(now - t0) / 1e6 : 0.0;
}

}  // namespace

DispatchResult dispatch_once(GpuDevice& device, uint32_t iters, GpuTimer& timer,
                             const LoadControl& control) {
  if (iters != device.uploaded_iters()) device.upload_iters(iters);
  const uint64_t t0 = timer.now_ns();
  device.dispatch_end_flush();
  QueryPoll poll = device.poll();
  // Bounded by the hang limit: every pass either returns or lets the clock run.
  for (;;) {
    if (poll.result < 0) {
      return {0.0, device.describe_error(device.removed_reason(), poll.result)};
    }
    if (poll.done) {
      const int32_t removed = device.removed_reason();
      if (removed < 0) return {0.0, device.describe_error(device.removed_reason(), removed)};
      return {elapsed_ms(t0, timer.now_ns()), std::nullopt};
    }
    const uint64_t now = timer.now_ns();
    if (now >= t0 && now - t0 >= kHangLimitNs) {
      return {0.0, device.describe_hang(device.removed_reason())};
    }
    if (control.stop_requested.load()) return {elapsed_ms(t0, now), std::nullopt};
    timer.poll_pause();
    poll = device.poll();
  }
}

}  // namespace kestrune
