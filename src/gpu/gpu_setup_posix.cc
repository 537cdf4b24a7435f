#include "gpu/gpu_setup.h"

#include "protocol/error_codes.h"

namespace kestrune {

// No Direct3D here: the GPU load is simply unavailable.
GpuSetupResult open_gpu_setup(const std::optional<std::string>& /*hint*/,
                              ShaderFallback /*fallback*/) {
  GpuSetupResult r;
  r.err = error_code::kNoAdapter;
  return r;
}

}  // namespace kestrune
