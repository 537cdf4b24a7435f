#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "os/stop_event.h"

namespace kestrune::os {

// An eventfd that is written once and never read stays readable: a manual-reset event.
std::unique_ptr<StopEvent> StopEvent::create() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::unique_ptr<StopEvent>(new StopEvent(UniqueHandle(fd)));
}

void StopEvent::signal() {
  uint64_t one = 1;
  (void)!write(static_cast<int>(handle_.get()), &one, sizeof one);
}

bool StopEvent::is_signalled() const {
  pollfd p{static_cast<int>(handle_.get()), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace kestrune::os
