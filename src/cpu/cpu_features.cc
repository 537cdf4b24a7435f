#include "cpu/cpu_features.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace kestrune {
namespace {

constexpr uint32_t bit(unsigned n) { return uint32_t{1} << n; }

// CPUID.1:ECX
constexpr uint32_t kFma = bit(12);
constexpr uint32_t kXsave = bit(26);
constexpr uint32_t kOsxsave = bit(27);
constexpr uint32_t kF16c = bit(29);
// CPUID.7.0:EBX
constexpr uint32_t kAvx2 = bit(5);
constexpr uint32_t kAvx512f = bit(16);
// XCR0: SSE and AVX state; opmask, ZMM0-15 upper halves, ZMM16-31.
constexpr uint64_t kXcr0Avx = 0x6;
constexpr uint64_t kXcr0Avx512 = 0xE0;

struct Regs {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Regs cpuid(uint32_t leaf, uint32_t subleaf) {
  Regs r;
#if defined(_MSC_VER) && !defined(__clang__)
  int out[4];
  __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
  r.eax = static_cast<uint32_t>(out[0]);
  r.ebx = static_cast<uint32_t>(out[1]);
  r.ecx = static_cast<uint32_t>(out[2]);
  r.edx = static_cast<uint32_t>(out[3]);
#else
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
  return r;
}

// Only called once OSXSAVE says the instruction is enabled.
uint64_t read_xcr0() {
#if defined(_MSC_VER) && !defined(__clang__)
  return _xgetbv(0);
#else
  // Spelled out so this file needs no -mxsave.
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t{hi} << 32) | lo;
#endif
}

}  // namespace

CpuFeatures decide_cpu_features(const CpuidWords& w) {
  CpuFeatures f;
  if (w.max_leaf == 0) return f;
  const uint32_t leaf7_ebx = w.max_leaf >= 7 ? w.leaf7_ebx : 0;
  if ((w.leaf1_ecx & kXsave) == 0 || (w.leaf1_ecx & kOsxsave) == 0) return f;
  // Without the operating system saving the YMM state no AVX instruction is usable.
  if ((w.xcr0 & kXcr0Avx) != kXcr0Avx) return f;
  f.avx2 = (leaf7_ebx & kAvx2) != 0;
  f.fma = (w.leaf1_ecx & kFma) != 0;
  f.avx512f = (leaf7_ebx & kAvx512f) != 0 && (w.xcr0 & kXcr0Avx512) == kXcr0Avx512 &&
              (w.leaf1_ecx & kFma) != 0 && (w.leaf1_ecx & kF16c) != 0;
  return f;
}

CpuFeatures detect_cpu_features() {
  CpuidWords w;
  w.max_leaf = cpuid(0, 0).eax;
  if (w.max_leaf == 0) return decide_cpu_features(w);
  w.leaf1_ecx = cpuid(1, 0).ecx;
  if (w.max_leaf >= 7) w.leaf7_ebx = cpuid(7, 0).ebx;
  if ((w.leaf1_ecx & kXsave) != 0 && (w.leaf1_ecx & kOsxsave) != 0) w.xcr0 = read_xcr0();
  return decide_cpu_features(w);
}

const char* isa_text(const CpuFeatures& f) { return f.avx2 && f.fma ? "avx2fma" : "sse2"; }

const char* isa_max_text(const CpuFeatures& f) {
  if (f.avx512f) return "avx512";
  if (f.avx2) return "avx2";
  return "sse2";
}

}  // namespace kestrune
