// The baseline kernel: 128-bit SSE2, which every x86-64 processor has.

#include <emmintrin.h>

#include "cpu/kernel_state.h"

// The multiply and the add must round separately: never let them fuse, whatever flags
// the build adds.
#if defined(_MSC_VER) && !defined(__clang__)
#pragma fp_contract(off)
#elif defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace kestrune {

void burn_sse2(KernelState& state, uint32_t n) {
  float* p = state.lanes;
  // Eight independent chains: enough to overlap the multiply and add latencies.
  __m128 a0 = _mm_load_ps(p + 0), a1 = _mm_load_ps(p + 4);
  __m128 a2 = _mm_load_ps(p + 8), a3 = _mm_load_ps(p + 12);
  __m128 a4 = _mm_load_ps(p + 16), a5 = _mm_load_ps(p + 20);
  __m128 a6 = _mm_load_ps(p + 24), a7 = _mm_load_ps(p + 28);
  const __m128 m = _mm_set1_ps(kKernelMul);
  const __m128 a = _mm_set1_ps(kKernelAdd);
  for (uint32_t i = n; i != 0; --i) {
    a0 = _mm_add_ps(_mm_mul_ps(a0, m), a);
    a1 = _mm_add_ps(_mm_mul_ps(a1, m), a);
    a2 = _mm_add_ps(_mm_mul_ps(a2, m), a);
    a3 = _mm_add_ps(_mm_mul_ps(a3, m), a);
    a4 = _mm_add_ps(_mm_mul_ps(a4, m), a);
    a5 = _mm_add_ps(_mm_mul_ps(a5, m), a);
    a6 = _mm_add_ps(_mm_mul_ps(a6, m), a);
    a7 = _mm_add_ps(_mm_mul_ps(a7, m), a);
  }
  _mm_store_ps(p + 0, a0);
  _mm_store_ps(p + 4, a1);
  _mm_store_ps(p + 8, a2);
  _mm_store_ps(p + 12, a3);
  _mm_store_ps(p + 16, a4);
  _mm_store_ps(p + 20, a5);
  _mm_store_ps(p + 24, a6);
  _mm_store_ps(p + 28, a7);
}

}  // namespace kestrune
