#pragma once
// The supervisor's long-lived handles, created at start-up and kept to the process end.

#include <cstdint>
#include <memory>
#include <optional>

#include "cpu/cpu_features.h"
#include "main/load_control.h"
#include "main/supervisor_msg.h"
#include "os/probes.h"
#include "protocol/emit.h"

namespace kestrune {

/// The single-instance lock: the first acquire acts, every later one returns the answer.
struct InstanceLock {
  std::optional<os::LockAnswer> answer;  // empty: untried

  os::LockAnswer acquire() {
    if (!answer) answer = os::take_instance_lock();
    return *answer;
  }
};

struct Runtime {
  InstanceLock instance_lock;
  /// Opened by the start command, never closed: the process end releases it.
  std::unique_ptr<os::ParentWatch> parent;
  CommandSender commands;
  EventOutput output;  // event-queue sender, shared counters, queued_count
  LoadControlRef control;
  CpuFeatures features;
};

}  // namespace kestrune
