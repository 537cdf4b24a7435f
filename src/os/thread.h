#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace kestrune::os {

enum class ThreadPriority { BelowNormal, Normal, AboveNormal };

/// Starts a detached thread that runs `body`, named `name` for debuggers, with a stack
/// reservation of `stack_reservation` bytes (0: the system default). The handle is
/// closed at once: no thread is ever joined. False when the thread could not be created.
bool start_thread(const char* name, size_t stack_reservation, std::function<void()> body);

/// What happens on a started thread when an exception escapes its body. The handler must
/// not return. Set once at start-up, before the first thread starts.
using ThreadFailureHandler = void (*)();
void set_thread_failure_handler(ThreadFailureHandler handler);

/// Runs a started thread's whole body: an escaping exception goes to the failure handler
/// (std::terminate without one) and never unwinds out of the thread's entry.
void run_thread_body(const std::function<void()>& body) noexcept;

/// Sets the calling thread's priority. Failure is ignored: it only improves behaviour.
void set_current_thread_priority(ThreadPriority priority);

/// Puts the whole process in the below-normal priority class. Failure is ignored.
void set_process_priority_below_normal();

/// Number of logical processors the system reports (GetSystemInfo), at least 1.
uint32_t logical_processor_count();

/// The current process id.
uint32_t current_process_id();

/// Gives up the rest of the time slice (SwitchToThread).
void yield_processor();

/// Process-wide settings made first thing at start-up: a write to a closed pipe must fail
/// rather than kill the process, and a fault must never wait on an error dialog.
void prepare_process();

/// Ends the process at once with `code` (TerminateProcess, ExitProcess as fallback).
[[noreturn]] void terminate_process(uint32_t code);

}  // namespace kestrune::os
