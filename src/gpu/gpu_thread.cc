#include "gpu/gpu_thread.h"

#include "gpu/gpu_thread_main.h"
#include "gpu/os_gpu_timer.h"
#include "os/thread.h"

namespace kestrune {
namespace {

constexpr size_t kGpuThreadStackBytes = size_t{2} << 20;

}  // namespace

bool start_gpu_thread(const CommandSender& commands, std::optional<std::string> adapter_hint,
                      const LoadControlRef& control) {
  GpuThreadDeps deps;
  deps.lower_priority = [] { os::set_current_thread_priority(os::ThreadPriority::BelowNormal); };
  deps.create_timer = create_os_gpu_timer;
  deps.open_gpu = open_gpu_setup;
  return os::start_thread(
      "burn-gpu", kGpuThreadStackBytes,
      [commands, hint = std::move(adapter_hint), control, deps = std::move(deps)]() mutable {
        gpu_thread_main(std::move(commands), std::move(hint), std::move(control), deps);
      });
}

}  // namespace kestrune
