#include "gpu/gpu_setup.h"

namespace kestrune {

// No Direct3D here: the GPU load is simply unavailable.
GpuSetupResult open_gpu_setup(const std::optional<std::string>& /*hint*/,
                              ShaderFallback /*fallback*/) {
  GpuSetupResult r;
  r.err = "noAdapter";
  return r;
}

}  // namespace kestrune
