#pragma once
#include <cstdint>

namespace kestrune {

/// The processor flags that choose the CPU kernel and fill the hello's isa fields.
struct CpuFeatures {
  bool avx2 = false;
  bool fma = false;
  bool avx512f = false;
  bool operator==(const CpuFeatures&) const = default;
};

/// The raw register words the decision is made from.
struct CpuidWords {
  uint32_t max_leaf = 0;      // CPUID.0:EAX
  uint32_t leaf1_ecx = 0;     // CPUID.1:ECX
  uint32_t leaf7_ebx = 0;     // CPUID.7.0:EBX (ignored when max_leaf < 7)
  uint64_t xcr0 = 0;          // XGETBV(0), only read when OSXSAVE is set
};

/// Pure decision from the register words.
CpuFeatures decide_cpu_features(const CpuidWords& w);

/// Reads the real registers and decides. Called once at start-up.
CpuFeatures detect_cpu_features();

/// "avx2fma" when both AVX2 and FMA, else "sse2".
const char* isa_text(const CpuFeatures& f);
/// "avx512", "avx2" or "sse2".
const char* isa_max_text(const CpuFeatures& f);

}  // namespace kestrune
