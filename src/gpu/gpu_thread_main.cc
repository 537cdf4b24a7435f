#include "gpu/gpu_thread_main.h"

#include "gpu/calibration.h"
#include "gpu/duty_cycle.h"
#include "protocol/error_codes.h"

namespace kestrune {
namespace {

void send_init(const CommandSender& commands, GpuInfo info) {
  commands.send(GpuInit{std::move(info)});
}

// Everything between counting in and cleaning up; every object it makes is gone on return.
void run_gpu_engine(const CommandSender& commands, const std::optional<std::string>& hint,
                    const LoadControl& control, const GpuThreadDeps& deps) {
  std::unique_ptr<GpuTimer> timer = deps.create_timer(control);
  if (!timer) {
    send_init_failure(commands, error_code::kTimer);
    return;
  }
  GpuSetupResult setup = deps.open_gpu(hint);
  GpuDevice* device = setup.objects ? setup.objects->device() : nullptr;
  if (!device) {
    send_init_failure(commands, setup.err.empty() ? error_code::kNoAdapter : setup.err);
  } else {
    TuneState tune;
    const CalibrationResult cal = calibrate(*device, *timer, control, commands, tune);
    if (cal.end == CalibrationEnd::Complete) {
      GpuInfo info;
      info.ok = true;
      info.name = setup.name;
      info.vendor_id = setup.vendor_id;
      info.dispatch_ms = round_dispatch_ms(cal.last_ms);
      send_init(commands, std::move(info));
      run_duty_cycle(control, commands, tune, *timer, *device);
    }
  }
  setup.objects.reset();  // pipeline, bytecode, adapters, factory
  timer.reset();
}

}  // namespace

void gpu_thread_main(CommandSender commands, std::optional<std::string> hint,
                     LoadControlRef control, const GpuThreadDeps& deps) {
  control->threads_started.fetch_add(1);
  deps.lower_priority();
  run_gpu_engine(commands, hint, *control, deps);
  hint.reset();
  control->threads_exited.fetch_add(1);
  control.reset();
  commands = CommandSender{};
}

}  // namespace kestrune
