#include "cpu/cpu_features.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

namespace kestrune {
namespace cpu_features_test {

// CPUID.1:ECX bits
constexpr uint32_t kFma = 1u << 12, kXsave = 1u << 26, kOsxsave = 1u << 27, kAvx = 1u << 28,
                   kF16c = 1u << 29;
// CPUID.7.0:EBX bits
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16;

constexpr uint32_t kOsAvx = kXsave | kOsxsave | kAvx;
constexpr uint64_t kXcrAvx = 0x7;      // x87, SSE, AVX state
constexpr uint64_t kXcrAvx512 = 0xE7;  // plus opmask and both ZMM halves

struct Case {
  const char* name;
  CpuidWords words;
  CpuFeatures want;
  const char* isa;
  const char* isa_max;
};

TEST(CpuFeatures, DecidesFromRawRegisterWords) {
  const Case cases[] = {
      {"max leaf 0 hides everything",
       {0, kOsAvx | kFma | kF16c, kAvx2 | kAvx512f, kXcrAvx512}, {}, "sse2", "sse2"},
      {"leaf below 7: leaf 7 words are ignored, fma survives",
       {6, kOsAvx | kFma | kF16c, kAvx2 | kAvx512f, kXcrAvx512}, {false, true, false}, "sse2",
       "sse2"},
      {"OSXSAVE clear", {0xD, kXsave | kAvx | kFma | kF16c, kAvx2 | kAvx512f, kXcrAvx512}, {},
       "sse2", "sse2"},
      {"XSAVE clear", {0xD, kOsxsave | kAvx | kFma | kF16c, kAvx2 | kAvx512f, kXcrAvx512}, {},
       "sse2", "sse2"},
      {"XCR0 without AVX state", {0xD, kOsAvx | kFma | kF16c, kAvx2 | kAvx512f, 0x3}, {}, "sse2",
       "sse2"},
      {"XCR0 with AVX but no SSE state", {0xD, kOsAvx | kFma | kF16c, kAvx2 | kAvx512f, 0x5},
       {}, "sse2", "sse2"},
      {"AVX2 and FMA", {0xD, kOsAvx | kFma, kAvx2, kXcrAvx}, {true, true, false}, "avx2fma",
       "avx2"},
      {"AVX2 without FMA", {0xD, kOsAvx, kAvx2, kXcrAvx}, {true, false, false}, "sse2", "avx2"},
      {"the AVX bit itself is not consulted", {0xD, kXsave | kOsxsave | kFma, kAvx2, kXcrAvx},
       {true, true, false}, "avx2fma", "avx2"},
      {"AVX-512 with everything", {0xD, kOsAvx | kFma | kF16c, kAvx2 | kAvx512f, kXcrAvx512},
       {true, true, true}, "avx2fma", "avx512"},
      {"AVX-512 state not fully enabled (no ZMM16-31)",
       {0xD, kOsAvx | kFma | kF16c, kAvx2 | kAvx512f, 0x67}, {true, true, false}, "avx2fma",
       "avx2"},
      {"AVX-512 state without opmask", {0xD, kOsAvx | kFma | kF16c, kAvx2 | kAvx512f, 0xC7},
       {true, true, false}, "avx2fma", "avx2"},
      {"AVX-512 needs F16C", {0xD, kOsAvx | kFma, kAvx2 | kAvx512f, kXcrAvx512},
       {true, true, false}, "avx2fma", "avx2"},
      {"AVX-512 needs FMA", {0xD, kOsAvx | kF16c, kAvx2 | kAvx512f, kXcrAvx512},
       {true, false, false}, "sse2", "avx2"},
      {"AVX-512F without AVX2", {0xD, kOsAvx | kFma | kF16c, kAvx512f, kXcrAvx512},
       {false, true, true}, "sse2", "avx512"},
      {"leaf exactly 7 is read", {7, kOsAvx | kFma, kAvx2, kXcrAvx}, {true, true, false},
       "avx2fma", "avx2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CpuFeatures got = decide_cpu_features(c.words);
    EXPECT_EQ(got.avx2, c.want.avx2);
    EXPECT_EQ(got.fma, c.want.fma);
    EXPECT_EQ(got.avx512f, c.want.avx512f);
    EXPECT_EQ(std::string(isa_text(got)), c.isa);
    EXPECT_EQ(std::string(isa_max_text(got)), c.isa_max);
  }
}

TEST(CpuFeatures, RealProbeAgreesWithTheSystem) {
  CpuFeatures a = detect_cpu_features();
  EXPECT_EQ(a, detect_cpu_features());
  if (a.avx512f) {
    EXPECT_TRUE(a.fma);
  }
  std::printf("this processor: isa %s, isaMax %s\n", isa_text(a), isa_max_text(a));
#if defined(__linux__)
  // The kernel lists a flag only when the processor has it and the state is enabled.
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::set<std::string> flags{std::istream_iterator<std::string>(words), {}};
    EXPECT_EQ(a.avx2, flags.count("avx2") == 1);
    EXPECT_EQ(a.fma, flags.count("fma") == 1);
    EXPECT_EQ(a.avx512f, flags.count("avx512f") == 1 && flags.count("f16c") == 1 &&
                             flags.count("fma") == 1);
    break;
  }
#endif
}

}  // namespace cpu_features_test
}  // namespace kestrune
