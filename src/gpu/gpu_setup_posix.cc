#include "gpu/gpu_setup.h"
#include "gpu/vulkan_pipeline.h"
#include "variants/gpu_software_policy.h"

namespace kestrune {

// Vulkan compute; without a loader or a usable device the answer is "noAdapter".
GpuSetupResult open_gpu_setup(const std::optional<std::string>& hint) {
  return open_vulkan_setup(hint, software_gpu_policy());
}

}  // namespace kestrune
