#include <sys/resource.h>

#include "os/cpu_time.h"

namespace kestrune::os {
namespace {

uint64_t usage_ns(int who) {
  rusage u{};
  if (getrusage(who, &u) != 0) return 0;
  auto ns = [](const timeval& tv) {
    return static_cast<uint64_t>(tv.tv_sec) * 1'000'000'000u +
           static_cast<uint64_t>(tv.tv_usec) * 1000u;
  };
  return ns(u.ru_utime) + ns(u.ru_stime);
}

}  // namespace

uint64_t process_cpu_ns() { return usage_ns(RUSAGE_SELF); }

uint64_t thread_cpu_ns() { return usage_ns(RUSAGE_THREAD); }

}  // namespace kestrune::os
