#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune {

inline constexpr size_t kConstantBlockBytes = 48;

/// The shader's constant block P (register b0), as uploaded: iters (u32) at 0, three zero
/// floats of padding, then m = four times 0.9999f and a = four times 0.0001f. Little-endian.
std::array<uint8_t, kConstantBlockBytes> constant_block_bytes(uint32_t iters);

}  // namespace kestrune
