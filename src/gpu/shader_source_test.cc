#include "gpu/shader_source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrune {
namespace shader_source_test {

uint64_t fnv1a64(std::string_view s) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  return h;
}

TEST(ShaderSource, ExactText) {
  EXPECT_EQ(kShaderSource.size(), 669u);
  // Hash of the reference text, computed independently of this file.
  EXPECT_EQ(fnv1a64(kShaderSource), 0x68FD2E3132D444E3ull);
  ASSERT_EQ(kShaderSource.front(), '\n');
  ASSERT_EQ(kShaderSource.back(), '\n');
  std::vector<std::string_view> lines;
  for (size_t at = 1; at < kShaderSource.size();) {
    const size_t nl = kShaderSource.find('\n', at);
    lines.push_back(kShaderSource.substr(at, nl - at));
    at = nl + 1;
  }
  ASSERT_EQ(lines.size(), 18u);
  EXPECT_EQ(lines[0], "RWStructuredBuffer<float4> Out : register(u0);");
  EXPECT_EQ(lines[12], "  [loop] for (uint i = 0; i < iters; i++) {");
  EXPECT_EQ(lines[13].substr(0, 5), "    x");
  EXPECT_EQ(lines[16], "  Out[id.x & 4095] = x0 + x1 + x2 + x3 + x4 + x5 + x6 + x7;");
  EXPECT_EQ(lines[17], "}");
  for (std::string_view l : lines) EXPECT_EQ(l.find_first_of("\r\t"), std::string_view::npos);
}

}  // namespace shader_source_test
}  // namespace kestrune
