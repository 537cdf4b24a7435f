#include "main/startup.h"

#include <memory>

#include "io/reader.h"
#include "io/writer.h"
#include "main/fatal_stop.h"
#include "main/final_stop.h"
#include "main/runtime.h"
#include "os/std_streams.h"
#include "os/thread.h"

namespace kestrune {
namespace {

[[noreturn]] void start_and_supervise(const ProgramVariant& variant) {
  os::set_process_priority_below_normal();
  os::set_current_thread_priority(os::ThreadPriority::AboveNormal);

  auto control = std::make_shared<LoadControl>();
  control->stop_event = os::StopEvent::create();  // may be absent: waits then end by time
  control->base_instant_ns = os::monotonic_ns();

  auto [commands, inbox] = make_channel<SupervisorMsg>();
  auto [event_tx, event_rx] = make_channel<std::string>(kEventQueueCapacity);
  auto counters = std::make_shared<EventCounters>();

  // Without a writer, events cannot reach the controller; the stall watchdog ends the run.
  (void)start_writer_thread(std::move(event_rx), commands, counters, control);

  // Kept to the process end: the final stop terminates without unwinding.
  static Runtime rt;
  rt.variant = variant;
  rt.gpu_platform = os_gpu_platform(variant.gpu);
  rt.commands = commands;
  rt.output = EventOutput{std::move(event_tx), counters, 0, control};
  rt.control = control;
  rt.features = detect_cpu_features();
  arm_fatal_stop(rt);

  const os::Elevation elevation = os::probe_elevation();
  const os::LockAnswer lock = rt.instance_lock.acquire();
  if (elevation != os::Elevation::NotElevated) final_stop(rt, StopReason::Elevated, 0.0, 0.0);
  if (lock != os::LockAnswer::Held) final_stop(rt, StopReason::Already, 0.0, 0.0);

  if (!start_reader_thread(commands)) final_stop(rt, StopReason::StdinClosed, 0.0, 0.0);

  static SupervisorState state = SupervisorState::at_loop_entry(control->now_ms());
  track_fatal_totals(state);
  run_control_loop(state, rt, inbox);
}

}  // namespace

void run_program(const ProgramVariant& variant) {
  // Before any thread or library exists that could write into the event stream.
  os::take_stdout();
  os::prepare_process();
  install_fatal_handlers();
  try {
    start_and_supervise(variant);
  } catch (...) {
    // Out of memory or any other failure of the supervisor itself.
  }
  fatal_stop_here();
}

}  // namespace kestrune
