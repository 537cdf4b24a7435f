#pragma once
#include <memory>

#include "gpu/gpu_timer.h"
#include "main/load_control.h"

namespace kestrune {

/// The GPU thread's real timer: a waitable timer (high-resolution when the system offers
/// one, ordinary otherwise) and the monotonic clock since base_instant. Null when no timer
/// can be created. `control` must outlive it.
std::unique_ptr<GpuTimer> create_os_gpu_timer(const LoadControl& control);

}  // namespace kestrune
