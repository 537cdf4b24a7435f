#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "os/thread.h"

namespace kestrune::os {
namespace {

struct ThreadStart {
  std::string name;
  std::function<void()> body;
};

void* thread_entry(void* arg) {
  run_thread_body([arg] {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    // Linux limits thread names to 15 bytes; ours are short.
    (void)pthread_setname_np(pthread_self(), start->name.substr(0, 15).c_str());
    auto body = std::move(start->body);
    start.reset();
    body();
  });
  return nullptr;
}

// Thread priorities map to per-thread nice values (Linux nice is per thread). The process
// moves 5 above the nice it was started with; that is the base. Normal and above-normal
// threads stay at the base and below-normal threads go 2 further down: an unprivileged
// process may only ever raise nice, so above-normal cannot be had, and the order that
// matters, load below everything else, needs no privilege this way.
constexpr int kMaxNice = 19;
constexpr int kProcessDrop = 5;
constexpr int kBelowNormalDrop = 2;

// The base nice, recorded by the first caller (INT_MIN: none yet).
std::atomic<int> g_base_nice{INT_MIN};

int clamp_nice(int n) { return n > kMaxNice ? kMaxNice : n; }

// The calling thread's nice; getpriority returns -1 both as a value and as an error.
std::optional<int> own_nice() {
  errno = 0;
  const int n = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  if (n == -1 && errno != 0) return std::nullopt;
  return n;
}

int base_nice() {
  int base = g_base_nice.load();
  if (base != INT_MIN) return base;
  // Never set by the process: the nice this thread inherited is the base.
  const int own = own_nice().value_or(0);
  return g_base_nice.compare_exchange_strong(base, own) ? own : base;
}

void set_own_nice(int n) {
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), n);
}

int nice_for(ThreadPriority priority, int base) {
  switch (priority) {
    case ThreadPriority::BelowNormal: return clamp_nice(base + kBelowNormalDrop);
    case ThreadPriority::Normal:
    case ThreadPriority::AboveNormal: return clamp_nice(base);
  }
  return clamp_nice(base);
}

}  // namespace

bool start_thread(const char* name, size_t stack_reservation, std::function<void()> body) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_reservation != 0) {
    // Sanitizer builds need more stack than the product's reservation.
    const size_t min_stack = static_cast<size_t>(PTHREAD_STACK_MIN);
    size_t size = stack_reservation < min_stack ? min_stack : stack_reservation;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    size *= 8;
#endif
    (void)pthread_attr_setstacksize(&attr, size);
  }
  auto* start = new ThreadStart{name, std::move(body)};
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, thread_entry, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return false;
  }
  return true;
}

void set_current_thread_priority(ThreadPriority priority) {
  const int want = nice_for(priority, base_nice());
  // Lowering nice needs privilege: a thread already below its target stays where it is.
  if (own_nice().value_or(INT_MIN) < want) set_own_nice(want);
}

void set_process_priority_below_normal() {
  // Called on the main thread before any other thread starts: they inherit its nice.
  const int base = clamp_nice(own_nice().value_or(0) + kProcessDrop);
  set_own_nice(base);
  g_base_nice.store(own_nice().value_or(base));
}

uint32_t logical_processor_count() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1u : static_cast<uint32_t>(n);
}

uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

void yield_processor() { sched_yield(); }

void prepare_process() { (void)signal(SIGPIPE, SIG_IGN); }

void terminate_process(uint32_t code) {
  // Like TerminateProcess: no atexit handlers, no static destructors, every thread ends.
  _exit(static_cast<int>(code & 0xFF));
}

}  // namespace kestrune::os
