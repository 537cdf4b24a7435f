// The unit-test program links no program variant; its GPU tests use the same stand-in
// bytecode as the Wine GPU test build, so the Direct3D path can run under Wine.

#include "dxbc/dxbc_container.h"
#include "variants/shader_fallback.h"

namespace kestrune {

std::optional<std::vector<uint8_t>> fallback_shader_bytecode() {
  return dxbc::compute_shader_container();
}

}  // namespace kestrune
