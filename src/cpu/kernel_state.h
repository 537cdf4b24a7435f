#pragma once
// One thread's accumulator block for the burn kernels, and the kernels that advance it.

#include <cstdint>

#include "cpu/cpu_features.h"

namespace kestrune {

/// Which kernel a thread runs: the AVX2/FMA kernel exactly when both flags are set.
enum class KernelKind { Sse2, Avx2Fma };

/// `Avx2Fma` when the processor has AVX2 and FMA, else `Sse2` (part of every x86-64).
KernelKind kernel_kind_for(const CpuFeatures& features);

/// The multiplier 0.9999f and addend 0.0001f: lanes converge on a / (1 - m), about 1.0.
inline constexpr float kKernelMul = 0.9999f;
inline constexpr float kKernelAdd = 0.0001f;

#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4324)  // padded to its 32-byte alignment on purpose
#endif

/// Accumulators of one thread: `Sse2` uses 8 vectors of 4 lanes (16-byte aligned),
/// `Avx2Fma` 12 vectors of 8 lanes (32-byte aligned). Every lane of vector k starts at the
/// float nearest 1.00 + 0.01 k. Owned by one thread, never shared.
struct alignas(32) KernelState {
  static constexpr int kMaxLanes = 12 * 8;
  alignas(32) float lanes[kMaxLanes];
  KernelKind kind;

  int vectors() const { return kind == KernelKind::Avx2Fma ? 12 : 8; }
  int lanes_per_vector() const { return kind == KernelKind::Avx2Fma ? 8 : 4; }
  /// Lane `l` of vector `k`.
  float& at(int k, int l) { return lanes[k * lanes_per_vector() + l]; }
  float at(int k, int l) const { return lanes[k * lanes_per_vector() + l]; }
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif

/// A fresh state of `kind` with the initial values.
KernelState make_kernel_state(KernelKind kind);

/// n iterations of acc = acc * m + a on 8x4 lanes, multiply and add rounded separately.
/// The state stays in registers for the whole loop; n = 0 leaves it unchanged.
void burn_sse2(KernelState& state, uint32_t n);

/// n iterations of one fused multiply-add per vector on 12x8 lanes. Executes AVX2 and FMA
/// instructions: only for a state of kind `Avx2Fma` on a processor that has both.
void burn_avx2fma(KernelState& state, uint32_t n);

/// Runs the kernel that matches the state's kind.
void burn(KernelState& state, uint32_t n);

/// Sums the vectors lane by lane in index order from zero, then the lanes of that sum in
/// lane order: a value that depends on every lane, so the work cannot be optimised away.
float reduce_state(const KernelState& state);

}  // namespace kestrune
