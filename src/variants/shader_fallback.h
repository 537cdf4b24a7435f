#pragma once
// What the GPU set-up uses when the HLSL compiler cannot compile the shader. The shipped
// program has none; a test build for Wine, whose compiler rejects this shader, supplies
// equivalent bytecode so the real device path can run there.

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune {

/// Bytecode standing in for the compiled shader, or none.
std::optional<std::vector<uint8_t>> fallback_shader_bytecode();

}  // namespace kestrune
