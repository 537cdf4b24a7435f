#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/probes.h"

namespace kestrune::os {

// The elevated token's analogue: running as root.
Elevation probe_elevation() { return geteuid() == 0 ? Elevation::Elevated : Elevation::NotElevated; }

// The named mutex's analogue: an abstract socket per user, released by the kernel when the
// process ends however it ends.
LockAnswer take_instance_lock() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return LockAnswer::Failed;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  char name[64];
  int len = std::snprintf(name, sizeof name, "Local\\KestruneLoad.%u", static_cast<unsigned>(geteuid()));
  std::memcpy(addr.sun_path + 1, name, static_cast<size_t>(len));
  socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(len));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) == 0) return LockAnswer::Held;  // kept to the end
  int err = errno;
  ::close(fd);
  return err == EADDRINUSE ? LockAnswer::TakenElsewhere : LockAnswer::Failed;
}

std::unique_ptr<ParentWatch> ParentWatch::open(uint32_t pid) {
  if (pid == 0 || pid > 0x7FFFFFFF) return nullptr;
  long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return nullptr;
  return std::unique_ptr<ParentWatch>(new ParentWatch(fd));
}

// A pidfd becomes readable when the process ends.
bool ParentWatch::alive() const {
  pollfd p{static_cast<int>(handle_), POLLIN, 0};
  int rc = poll(&p, 1, 0);
  return rc == 0;
}

// The kill-on-close job's analogue: the parent arranged for this process to be killed
// when it dies.
JobAnswer probe_job() {
  int sig = 0;
  if (prctl(PR_GET_PDEATHSIG, &sig, 0, 0, 0) != 0) return JobAnswer::QueryFailed;
  return sig == SIGKILL ? JobAnswer::Yes : JobAnswer::No;
}

}  // namespace kestrune::os
