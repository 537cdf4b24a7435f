#include "os/stop_event.h"
#include "os/win32.h"

namespace kestrune::os {

std::unique_ptr<StopEvent> StopEvent::create() {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (as_raw(h) == kNoHandle) return nullptr;
  return std::unique_ptr<StopEvent>(new StopEvent(UniqueHandle(as_raw(h))));
}

void StopEvent::signal() { (void)SetEvent(as_handle(handle_.get())); }

bool StopEvent::is_signalled() const {
  return WaitForSingleObject(as_handle(handle_.get()), 0) == WAIT_OBJECT_0;
}

}  // namespace kestrune::os
