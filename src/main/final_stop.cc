#include "main/final_stop.h"

#include "main/fatal_stop.h"
#include "os/thread.h"
#include "util/rounding.h"

namespace kestrune {
namespace {
constexpr uint32_t kLoadThreadWaitMs = 200;
constexpr uint32_t kWriterWaitMs = 150;
}  // namespace

Bye make_bye(StopReason reason, double cpu_s, double gpu_s) {
  return Bye{stop_reason_text(reason), stop_reason_code(reason), round1(cpu_s),
             round1(gpu_s)};
}

void final_stop(Runtime& rt, StopReason reason, double cpu_s, double gpu_s) {
  mark_final_stop_begun();
  Bye bye = make_bye(reason, cpu_s, gpu_s);

  // Load off first: the flag before the event, so a thread woken by the event sees it.
  LoadControl& control = *rt.control;
  control.cpu_duty_e4.store(0);
  control.gpu_duty_e4.store(0);
  control.stop_requested.store(true);
  if (control.stop_event) control.stop_event->signal();

  wait_bounded(kLoadThreadWaitMs, [&] {
    return control.threads_exited.load() >= control.threads_started.load();
  });

  emit(rt.output, std::move(bye));
  const uint64_t queued = rt.output.queued_count;
  wait_bounded(kWriterWaitMs, [&] { return rt.output.counters->written.load() >= queued; });

  os::terminate_process(stop_reason_code(reason));
}

}  // namespace kestrune
