#include "gpu/gpu_setup.h"

#include "gpu/vulkan_pipeline.h"

namespace kestrune {

// Vulkan compute; without a loader or a usable device the answer is "noAdapter". No shader
// fallback here: the SPIR-V is built with the program.
GpuSetupResult open_gpu_setup(const std::optional<std::string>& hint,
                              const GpuSetupOptions& options) {
  return open_vulkan_setup(hint, options.software);
}

}  // namespace kestrune
