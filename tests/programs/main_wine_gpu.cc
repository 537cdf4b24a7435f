// Test build for Wine only, never shipped: as the Wine build, plus hand-assembled shader
// bytecode for when the compiler fails, as Wine's cannot compile the shader. It lets the
// tests run the real Direct3D 11 path.

#include "dxbc/dxbc_container.h"
#include "main/startup.h"

int main() {
  kestrune::ProgramVariant variant;
  variant.probe_job = kestrune::os::probe_job_membership;
  variant.gpu.shader_fallback = kestrune::dxbc::compute_shader_fallback();
  kestrune::run_program(variant);
}
