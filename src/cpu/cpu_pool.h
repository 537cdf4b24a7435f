#pragma once
#include <cstdint>
#include <optional>

#include "cpu/cpu_features.h"
#include "main/load_control.h"
#include "main/supervisor_msg.h"

namespace kestrune {

struct CpuPoolStart {
  bool failed = false;
  uint32_t workers = 0;
};

/// Starts the CPU workers "burn-0"... on the supervisor thread (calibrates first).
CpuPoolStart start_cpu_pool(const CommandSender& commands, const LoadControlRef& control,
                            const CpuFeatures& features, std::optional<uint32_t> requested);

}  // namespace kestrune
