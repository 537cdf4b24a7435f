#include "os/cpu_time.h"
#include "os/win32.h"

namespace kestrune::os {
namespace {

uint64_t filetime_ns(const FILETIME& ft) {
  return ((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) * 100u;
}

}  // namespace

uint64_t process_cpu_ns() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return filetime_ns(kernel) + filetime_ns(user);
}

uint64_t thread_cpu_ns() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return filetime_ns(kernel) + filetime_ns(user);
}

}  // namespace kestrune::os
