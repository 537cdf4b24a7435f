#include "gpu/constant_block.h"

namespace kestrune {
namespace {

// The float bit patterns are written out so the bytes do not depend on float parsing.
constexpr uint32_t kM = 0x3F7FF972;  // 0.9999f
constexpr uint32_t kA = 0x38D1B717;  // 0.0001f

void put_u32(std::array<uint8_t, kConstantBlockBytes>& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::array<uint8_t, kConstantBlockBytes> constant_block_bytes(uint32_t iters) {
  std::array<uint8_t, kConstantBlockBytes> b{};
  put_u32(b, 0, iters);
  for (size_t i = 0; i < 4; ++i) {
    put_u32(b, 16 + 4 * i, kM);
    put_u32(b, 32 + 4 * i, kA);
  }
  return b;
}

}  // namespace kestrune
