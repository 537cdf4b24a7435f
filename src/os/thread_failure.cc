#include <atomic>
#include <exception>

#include "os/thread.h"

namespace kestrune::os {
namespace {
std::atomic<ThreadFailureHandler> g_failure_handler{nullptr};
}  // namespace

void set_thread_failure_handler(ThreadFailureHandler handler) {
  g_failure_handler.store(handler);
}

void run_thread_body(const std::function<void()>& body) noexcept {
  try {
    body();
    return;
  } catch (...) {
    // Leave the handler outside the catch: it never returns, and the exception's storage
    // is not needed.
  }
  if (ThreadFailureHandler handler = g_failure_handler.load()) handler();
  std::terminate();
}

}  // namespace kestrune::os
