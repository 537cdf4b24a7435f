#include "dxbc/dxbc_container.h"
#include "variants/shader_fallback.h"

namespace kestrune {

// Test build only: hand-assembled bytecode of an equivalent program.
std::optional<std::vector<uint8_t>> fallback_shader_bytecode() {
  return dxbc::compute_shader_container();
}

}  // namespace kestrune
