#include "cpu/cpu_pool.h"

#include <string>

#include "cpu/calibrate.h"
#include "cpu/cpu_worker.h"
#include "cpu/kernel_state.h"
#include "cpu/worker_count.h"
#include "os/thread.h"

namespace kestrune {
namespace {

// Workers need little stack: their state lives in registers and one small block.
constexpr size_t kWorkerStack = 0x40000;

}  // namespace

CpuPoolStart start_cpu_pool(const CommandSender& commands, const LoadControlRef& control,
                            const CpuFeatures& features, std::optional<uint32_t> requested) {
  const uint32_t n = worker_count(requested, os::logical_processor_count());
  const KernelKind kind = kernel_kind_for(features);
  const uint32_t iters = calibrate_iters(kind);
  for (uint32_t i = 0; i < n; ++i) {
    WorkerConfig cfg{commands, control, i, n, iters, kind, nullptr};
    const std::string name = "burn-" + std::to_string(i);
    const bool started =
        os::start_thread(name.c_str(), kWorkerStack,
                         [cfg = std::move(cfg)]() mutable { cpu_worker_main(std::move(cfg)); });
    // Workers already running stay until the stop.
    if (!started) return {true, i};
  }
  return {false, n};
}

}  // namespace kestrune
