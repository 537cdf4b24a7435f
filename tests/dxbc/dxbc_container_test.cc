#include "dxbc/dxbc_container.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

namespace kestrune::dxbc {
namespace {

std::string hex(const Digest& d) {
  std::string s;
  for (uint8_t b : d) {
    s += "0123456789abcdef"[b >> 4];
    s += "0123456789abcdef"[b & 15];
  }
  return s;
}

std::span<const uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::vector<uint8_t> le_bytes(std::span<const uint32_t> dwords) {
  std::vector<uint8_t> out(dwords.size() * 4);
  for (size_t i = 0; i < dwords.size(); ++i) {
    for (size_t k = 0; k < 4; ++k) out[4 * i + k] = static_cast<uint8_t>(dwords[i] >> (8 * k));
  }
  return out;
}

uint32_t dword_at(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, &b[at], 4);  // x86-64: little-endian like the format
  return v;
}

TEST(Md5, ReferenceVectors) {
  EXPECT_EQ(hex(md5(bytes(""))), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex(md5(bytes("abc"))), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hex(md5(bytes("message digest"))), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(hex(md5(bytes("12345678901234567890123456789012345678901234567890123456789012345678"
                          "901234567890"))),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(hex(md5(bytes(std::string(56, 'a')))), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(hex(md5(bytes(std::string(64, 'a')))), "014842d480b571495a4a0363793f7367");
}

// Compiler-written containers of two small compute programs, checksum included: one whose
// last block holds the counts (under 56 bytes left), one that needs an extra block.
TEST(Container, MatchesCompilerOutputByteForByte) {
  const uint32_t empty_program[] = {0x00050050, 0x00000008, 0x0100086a, 0x0400009b,
                                    0x00000001, 0x00000001, 0x00000001, 0x0100003e};
  const uint32_t empty_container[] = {
      0x43425844, 0x1acc3ad0, 0x71c7b057, 0xc72c4306, 0xf432cb57, 0x00000001, 0x00000074,
      0x00000003, 0x0000002c, 0x0000003c, 0x0000004c, 0x4e475349, 0x00000008, 0x00000000,
      0x00000008, 0x4e47534f, 0x00000008, 0x00000000, 0x00000008, 0x58454853, 0x00000020,
      0x00050050, 0x00000008, 0x0100086a, 0x0400009b, 0x00000001, 0x00000001, 0x00000001,
      0x0100003e};
  EXPECT_EQ(build_container(empty_program), le_bytes(empty_container));

  const uint32_t copy_program[] = {
      0x00050050, 0x0000002f, 0x0100086a, 0x04001858, 0x00107000, 0x00000000, 0x00005555,
      0x0400189c, 0x0011e000, 0x00000000, 0x00005555, 0x0200005f, 0x00021032, 0x02000068,
      0x00000001, 0x0400009b, 0x00000001, 0x00000001, 0x00000001, 0x04000036, 0x00100032,
      0x00000000, 0x00021046, 0x08000036, 0x001000c2, 0x00000000, 0x00004002, 0x00000000,
      0x00000000, 0x00000000, 0x00000000, 0x8900002d, 0x800000c2, 0x00155543, 0x00100012,
      0x00000000, 0x00100e46, 0x00000000, 0x00107e46, 0x00000000, 0x060000a4, 0x0011e0f2,
      0x00000000, 0x00021546, 0x00100006, 0x00000000, 0x0100003e};
  const std::vector<uint8_t> copy = build_container(copy_program);
  ASSERT_EQ(copy.size(), 0x110u);
  ASSERT_GE((copy.size() - 20) % 64, 56u);
  EXPECT_EQ(dword_at(copy, 4), 0x6ddce3d0u);
  EXPECT_EQ(dword_at(copy, 8), 0x24b47ad3u);
  EXPECT_EQ(dword_at(copy, 12), 0x7f6772d2u);
  EXPECT_EQ(dword_at(copy, 16), 0x6a644890u);
}

TEST(Container, ComputeShaderLayout) {
  const std::vector<uint8_t> c = compute_shader_container();
  const std::span<const uint32_t> tokens = compute_shader_tokens();
  ASSERT_EQ(tokens.size(), 286u);
  EXPECT_EQ(tokens[0], 0x00050050u);  // compute shader 5.0
  EXPECT_EQ(tokens[1], 286u);         // its own length in dwords
  EXPECT_EQ(tokens.back(), 0x0100003eu);  // ret

  ASSERT_EQ(c.size(), 44u + 16 + 16 + 8 + 286 * 4);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(c.data()), 4), "DXBC");
  EXPECT_EQ(dword_at(c, 20), 1u);
  EXPECT_EQ(dword_at(c, 24), c.size());
  EXPECT_EQ(dword_at(c, 28), 3u);
  const uint32_t shex_at = dword_at(c, 40);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(&c[shex_at]), 4), "SHEX");
  EXPECT_EQ(dword_at(c, shex_at + 4), 286u * 4);
  EXPECT_EQ(shex_at + 8 + 286 * 4, c.size());
  EXPECT_EQ(std::memcmp(&c[shex_at + 8], tokens.data(), 286 * 4), 0);

  const Digest stored = [&] {
    Digest d;
    std::memcpy(d.data(), &c[4], 16);
    return d;
  }();
  EXPECT_EQ(container_checksum(c), stored);
  // Every byte the checksum covers matters.
  std::vector<uint8_t> changed = c;
  for (size_t i = 20; i < changed.size(); ++i) {
    changed[i] ^= 0x01;
    EXPECT_NE(container_checksum(changed), stored) << "byte " << i;
    changed[i] ^= 0x01;
  }
}

}  // namespace
}  // namespace kestrune::dxbc
