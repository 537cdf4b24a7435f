#include "gpu/duty_cycle.h"

#include <optional>
#include <string>

#include "core/duty_period.h"
#include "gpu/dispatch.h"
#include "protocol/error_codes.h"

namespace kestrune {
namespace {

enum class Step { NextPeriod, End };

std::string slow_detail() {
  return "two dispatches above " + std::to_string(static_cast<int>(kSlowDispatchMs)) + " ms";
}

class DutyCycle {
 public:
  DutyCycle(const LoadControl& control, const CommandSender& commands, TuneState& tune,
            GpuTimer& timer, GpuDevice& device)
      : control_(control), commands_(commands), tune_(tune), timer_(timer), device_(device) {}

  void run() {
    // Signed, so that "one second before now" also works in the first second of the process.
    last_sample_ns_ = static_cast<int64_t>(timer_.now_ns()) - 1'000'000'000;
    // The boundary the last idle wait was aimed at, until the next on-phase.
    std::optional<uint64_t> aimed;
    while (!stopping()) {
      const uint64_t now = timer_.now_ns();
      const uint32_t duty = control_.gpu_duty_e4.load();
      // The GPU's periods start on the origin: phase offset 0.
      const DutySlice plan = aimed ? choose_slice_after_wait(now, 0, duty, *aimed)
                                   : choose_slice(now, 0, duty);
      const bool after_wait = aimed.has_value();
      aimed.reset();
      if (!plan.burn) aimed = plan.deadline_ns;
      const Step step = plan.burn ? on_phase_until(plan.deadline_ns, after_wait)
                                  : idle_until(plan.deadline_ns);
      if (step == Step::End) return;
    }
  }

 private:
  bool stopping() const { return control_.stop_requested.load(); }

  Step idle_until(uint64_t point) {
    if (stopping()) return Step::End;
    const uint64_t now = timer_.now_ns();
    if (now >= point) return Step::NextPeriod;
    if (timer_.idle_wait(point - now) == WaitOutcome::WaitFailed) {
      commands_.send(GpuFailed{error_code::kTimer, "waitable timer failed"});
      return Step::End;
    }
    return Step::NextPeriod;
  }

  // `at_least_once`: dispatch once even when `point` has passed, as the period has not
  // dispatched yet.
  Step on_phase_until(uint64_t point, bool at_least_once) {
    if (stopping()) return Step::End;
    for (bool first = true;; first = false) {
      if (control_.gpu_duty_e4.load() == 0) return Step::NextPeriod;
      if (!(first && at_least_once) && timer_.now_ns() >= point) return Step::NextPeriod;
      const DispatchResult r = dispatch_once(device_, tune_.iters, timer_, control_);
      if (!r.ok()) {
        commands_.send(GpuFailed{r.error().code, r.error().detail});
        return Step::End;
      }
      // A dispatch cut short by the stop is neither a sample nor slow.
      if (stopping()) return Step::End;
      adapt_iters(tune_, r.value());
      const auto now = static_cast<int64_t>(timer_.now_ns());
      if (now - last_sample_ns_ >= static_cast<int64_t>(kSampleIntervalNs)) {
        last_sample_ns_ = now;
        commands_.send(GpuSample{r.value()});
      }
      if (tune_.slow) {
        commands_.send(GpuFailed{error_code::kGpuSlow, slow_detail()});
        return Step::End;
      }
      if (stopping()) return Step::End;
    }
  }

  const LoadControl& control_;
  const CommandSender& commands_;
  TuneState& tune_;
  GpuTimer& timer_;
  GpuDevice& device_;
  int64_t last_sample_ns_ = 0;
};

}  // namespace

void run_duty_cycle(const LoadControl& control, const CommandSender& commands, TuneState& tune,
                    GpuTimer& timer, GpuDevice& device) {
  DutyCycle(control, commands, tune, timer, device).run();
}

}  // namespace kestrune
