#include "os/stop_event.h"
#include "os/waitable_timer.h"
#include "os/win32.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace kestrune::os {

std::unique_ptr<WaitableTimer> WaitableTimer::create(bool high_resolution) {
  DWORD flags = high_resolution ? CREATE_WAITABLE_TIMER_HIGH_RESOLUTION : 0;
  HANDLE h = CreateWaitableTimerExW(nullptr, nullptr, flags, TIMER_ALL_ACCESS);
  if (as_raw(h) == kNoHandle) return nullptr;
  return std::unique_ptr<WaitableTimer>(new WaitableTimer(UniqueHandle(as_raw(h))));
}

bool WaitableTimer::arm_relative(int64_t units_100ns) {
  LARGE_INTEGER due;
  due.QuadPart = -(units_100ns < 1 ? 1 : units_100ns);  // negative: relative
  return SetWaitableTimer(as_handle(handle_.get()), &due, 0, nullptr, nullptr, FALSE) != 0;
}

WaitResult wait_timer_or_stop(WaitableTimer& timer, const StopEvent* stop, uint32_t timeout_ms) {
  HANDLE handles[2] = {as_handle(timer.raw()), nullptr};
  DWORD count = 1;
  if (stop != nullptr) {
    handles[1] = as_handle(stop->raw());
    count = 2;
  }
  DWORD rc = WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
  if (rc == WAIT_OBJECT_0) return WaitResult::Timer;
  if (rc == WAIT_TIMEOUT) return WaitResult::Timeout;
  if (count == 2 && rc == WAIT_OBJECT_0 + 1) return WaitResult::Stop;
  return WaitResult::Failed;
}

}  // namespace kestrune::os
