#include "gpu/vulkan_shader.h"

namespace kestrune {
namespace {
#include "load_shader_spv.inc"
}  // namespace

std::span<const uint32_t> load_shader_spirv() { return kLoadShaderSpirv; }

}  // namespace kestrune
