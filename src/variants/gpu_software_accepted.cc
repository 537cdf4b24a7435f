#include "variants/gpu_software_policy.h"

namespace kestrune {

// Test build only: runs the real Vulkan path on a software device such as a CPU rasterizer.
SoftwareAdapters software_gpu_policy() { return SoftwareAdapters::Accepted; }

}  // namespace kestrune
