#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "os/clock.h"
#include "os/stop_event.h"
#include "os/waitable_timer.h"

namespace kestrune::os {
// timerfd on CLOCK_MONOTONIC is already high resolution; both flavours are the same here.
std::unique_ptr<WaitableTimer> WaitableTimer::create(bool /*high_resolution*/) {
  int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::unique_ptr<WaitableTimer>(new WaitableTimer(UniqueHandle(fd)));
}

bool WaitableTimer::arm_relative(int64_t units_100ns) {
  if (units_100ns < 1) units_100ns = 1;
  int fd = static_cast<int>(handle_.get());
  // Re-arming must not inherit an expiry that nobody consumed.
  uint64_t expirations;
  (void)!read(fd, &expirations, sizeof expirations);
  itimerspec due{};
  uint64_t ns = static_cast<uint64_t>(units_100ns) * 100u;
  due.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000u);
  due.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000u);
  return timerfd_settime(fd, 0, &due, nullptr) == 0;
}

WaitResult wait_timer_or_stop(WaitableTimer& timer, const StopEvent* stop, uint32_t timeout_ms) {
  pollfd fds[2] = {{static_cast<int>(timer.raw()), POLLIN, 0}, {-1, POLLIN, 0}};
  nfds_t n = 1;
  if (stop != nullptr) {
    fds[1].fd = static_cast<int>(stop->raw());
    n = 2;
  }
  const bool infinite = timeout_ms == 0xFFFFFFFFu;
  const uint64_t deadline = monotonic_ns() + uint64_t{timeout_ms} * 1'000'000u;
  // A signal interrupting poll restarts it with the remaining time: at most until the deadline.
  for (;;) {
    int wait_ms = -1;
    if (!infinite) {
      uint64_t now = monotonic_ns();
      uint64_t left = deadline > now ? deadline - now : 0;
      wait_ms = static_cast<int>((left + 999'999u) / 1'000'000u);
    }
    int rc = poll(fds, n, wait_ms);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Failed;
    }
    if (rc == 0) return WaitResult::Timeout;
    // Wait-any reports the lowest index that is ready, the timer first.
    if (fds[0].revents & POLLIN) {
      uint64_t expirations;
      (void)!read(fds[0].fd, &expirations, sizeof expirations);
      return WaitResult::Timer;
    }
    if (n == 2 && (fds[1].revents & POLLIN)) return WaitResult::Stop;
    return WaitResult::Failed;
  }
}

}  // namespace kestrune::os
