#include "gpu/constant_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace kestrune {
namespace constant_block_test {

TEST(ConstantBlock, ExactBytes) {
  const std::array<uint8_t, 48> expected = {
      0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                // iters, pad
      0x72, 0xF9, 0x7F, 0x3F, 0x72, 0xF9, 0x7F, 0x3F, 0x72, 0xF9, 0x7F, 0x3F,    // m
      0x72, 0xF9, 0x7F, 0x3F,
      0x17, 0xB7, 0xD1, 0x38, 0x17, 0xB7, 0xD1, 0x38, 0x17, 0xB7, 0xD1, 0x38,    // a
      0x17, 0xB7, 0xD1, 0x38};
  EXPECT_EQ(constant_block_bytes(0x12345678), expected);
  const auto b = constant_block_bytes(256);
  EXPECT_EQ(b[0], 0x00);
  EXPECT_EQ(b[1], 0x01);
  EXPECT_TRUE(std::equal(b.begin() + 4, b.end(), expected.begin() + 4));
}

TEST(ConstantBlock, PatternsAreTheIntendedFloats) {
  const auto b = constant_block_bytes(0);
  float m = 0;
  float a = 0;
  std::memcpy(&m, &b[16], 4);
  std::memcpy(&a, &b[32], 4);
  EXPECT_EQ(m, 0.9999f);
  EXPECT_EQ(a, 0.0001f);
}

}  // namespace constant_block_test
}  // namespace kestrune
