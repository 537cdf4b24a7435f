#include "variants/shader_fallback.h"

namespace kestrune {

// The shipped program always compiles the HLSL text: a compiler failure is "compile".
std::optional<std::vector<uint8_t>> fallback_shader_bytecode() { return std::nullopt; }

}  // namespace kestrune
