// The AVX2 kernel with fused multiply-add. The only translation unit built for AVX2 and
// FMA; reached only through a state of kind Avx2Fma, so other processors never run it.

#include <immintrin.h>

#include "cpu/kernel_state.h"

namespace kestrune {

void burn_avx2fma(KernelState& state, uint32_t n) {
  float* p = state.lanes;
  // Twelve independent chains plus the two constants fill 14 of the 16 YMM registers:
  // enough chains to keep both FMA pipes busy through the FMA latency.
  __m256 a0 = _mm256_load_ps(p + 0), a1 = _mm256_load_ps(p + 8);
  __m256 a2 = _mm256_load_ps(p + 16), a3 = _mm256_load_ps(p + 24);
  __m256 a4 = _mm256_load_ps(p + 32), a5 = _mm256_load_ps(p + 40);
  __m256 a6 = _mm256_load_ps(p + 48), a7 = _mm256_load_ps(p + 56);
  __m256 a8 = _mm256_load_ps(p + 64), a9 = _mm256_load_ps(p + 72);
  __m256 a10 = _mm256_load_ps(p + 80), a11 = _mm256_load_ps(p + 88);
  const __m256 m = _mm256_set1_ps(kKernelMul);
  const __m256 a = _mm256_set1_ps(kKernelAdd);
  for (uint32_t i = n; i != 0; --i) {
    a0 = _mm256_fmadd_ps(a0, m, a);
    a1 = _mm256_fmadd_ps(a1, m, a);
    a2 = _mm256_fmadd_ps(a2, m, a);
    a3 = _mm256_fmadd_ps(a3, m, a);
    a4 = _mm256_fmadd_ps(a4, m, a);
    a5 = _mm256_fmadd_ps(a5, m, a);
    a6 = _mm256_fmadd_ps(a6, m, a);
    a7 = _mm256_fmadd_ps(a7, m, a);
    a8 = _mm256_fmadd_ps(a8, m, a);
    a9 = _mm256_fmadd_ps(a9, m, a);
    a10 = _mm256_fmadd_ps(a10, m, a);
    a11 = _mm256_fmadd_ps(a11, m, a);
  }
  _mm256_store_ps(p + 0, a0);
  _mm256_store_ps(p + 8, a1);
  _mm256_store_ps(p + 16, a2);
  _mm256_store_ps(p + 24, a3);
  _mm256_store_ps(p + 32, a4);
  _mm256_store_ps(p + 40, a5);
  _mm256_store_ps(p + 48, a6);
  _mm256_store_ps(p + 56, a7);
  _mm256_store_ps(p + 64, a8);
  _mm256_store_ps(p + 72, a9);
  _mm256_store_ps(p + 80, a10);
  _mm256_store_ps(p + 88, a11);
}

}  // namespace kestrune
