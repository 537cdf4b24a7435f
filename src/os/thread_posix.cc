#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
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

// Thread priorities map to per-thread nice values (Linux nice is per thread): the
// process class sits at +5, a below-normal thread a little lower still, above-normal
// threads back at the class level. Raising priority needs no privilege here because
// it never goes below the nice value the process started with.
int nice_for(ThreadPriority p) {
  switch (p) {
    case ThreadPriority::BelowNormal: return 7;
    case ThreadPriority::Normal: return 5;
    case ThreadPriority::AboveNormal: return 4;
  }
  return 5;
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
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice_for(priority));
}

void set_process_priority_below_normal() {
  (void)setpriority(PRIO_PROCESS, 0, nice_for(ThreadPriority::Normal));
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
