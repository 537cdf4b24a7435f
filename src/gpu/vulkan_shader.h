#pragma once
#include <cstdint>
#include <span>

namespace kestrune {

/// The load shader (load_shader.comp) as SPIR-V words, compiled when the program was built.
std::span<const uint32_t> load_shader_spirv();

}  // namespace kestrune
