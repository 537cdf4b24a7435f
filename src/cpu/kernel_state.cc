#include "cpu/kernel_state.h"

namespace kestrune {
namespace {

// The floats nearest 1.00 + 0.01 k, k = 0..11.
constexpr float kInitial[12] = {1.00f, 1.01f, 1.02f, 1.03f, 1.04f, 1.05f,
                                1.06f, 1.07f, 1.08f, 1.09f, 1.10f, 1.11f};

}  // namespace

KernelKind kernel_kind_for(const CpuFeatures& features) {
  return features.avx2 && features.fma ? KernelKind::Avx2Fma : KernelKind::Sse2;
}

KernelState make_kernel_state(KernelKind kind) {
  KernelState s{};
  s.kind = kind;
  for (int k = 0; k < s.vectors(); ++k) {
    for (int l = 0; l < s.lanes_per_vector(); ++l) s.at(k, l) = kInitial[k];
  }
  return s;
}

void burn(KernelState& state, uint32_t n) {
  if (state.kind == KernelKind::Avx2Fma) {
    burn_avx2fma(state, n);
  } else {
    burn_sse2(state, n);
  }
}

float reduce_state(const KernelState& state) {
  float sum[8] = {};
  const int lanes = state.lanes_per_vector();
  for (int k = 0; k < state.vectors(); ++k) {
    for (int l = 0; l < lanes; ++l) sum[l] += state.at(k, l);
  }
  float r = 0.0f;
  for (int l = 0; l < lanes; ++l) r += sum[l];
  return r;
}

}  // namespace kestrune
