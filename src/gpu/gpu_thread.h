#pragma once
#include <optional>
#include <string>

#include "main/load_control.h"
#include "main/supervisor_msg.h"

namespace kestrune {

/// Starts the detached "burn-gpu" thread. False when the thread could not be created.
bool start_gpu_thread(const CommandSender& commands, std::optional<std::string> adapter_hint,
                      const LoadControlRef& control);

}  // namespace kestrune
