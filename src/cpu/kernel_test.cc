#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "cpu/cpu_features.h"
#include "cpu/kernel_state.h"

namespace kestrune {
namespace kernel_test {

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

bool has_avx2fma() { return kernel_kind_for(detect_cpu_features()) == KernelKind::Avx2Fma; }

// One SSE2 step for one lane: the product is rounded to float before the add.
float mul_then_add(float x) {
  volatile float product = x * kKernelMul;
  return product + kKernelAdd;
}

// One AVX2/FMA step for one lane: a single rounding. Written out because some C
// libraries' fmaf rounds twice. The product of two floats is exact in a double; the sum
// is rounded to odd (TwoSum, then the last bit forced odd when inexact), after which the
// conversion to float rounds exactly once.
float fused(float x) {
  const double p = static_cast<double>(x) * static_cast<double>(kKernelMul);
  const double a = kKernelAdd;
  double s = p + a;
  const double b = s - p;
  const double err = (p - (s - b)) + (a - b);
  uint64_t sb;
  std::memcpy(&sb, &s, sizeof sb);
  if (err != 0.0 && (sb & 1) == 0) s = std::nextafter(s, err > 0 ? HUGE_VAL : -HUGE_VAL);
  return static_cast<float>(s);
}

TEST(KernelState, ConstantsAndInitialBitPatterns) {
  EXPECT_EQ(bits(kKernelMul), 0x3F7FF972u);
  EXPECT_EQ(bits(kKernelAdd), 0x38D1B717u);
  const uint32_t want[12] = {0x3F800000, 0x3F8147AE, 0x3F828F5C, 0x3F83D70A,
                             0x3F851EB8, 0x3F866666, 0x3F87AE14, 0x3F88F5C3,
                             0x3F8A3D71, 0x3F8B851F, 0x3F8CCCCD, 0x3F8E147B};
  struct Shape {
    KernelKind kind;
    int vectors, lanes;
    uintptr_t align;
  };
  for (Shape sh : {Shape{KernelKind::Sse2, 8, 4, 16}, Shape{KernelKind::Avx2Fma, 12, 8, 32}}) {
    KernelState s = make_kernel_state(sh.kind);
    ASSERT_EQ(s.vectors(), sh.vectors);
    ASSERT_EQ(s.lanes_per_vector(), sh.lanes);
    for (int k = 0; k < sh.vectors; ++k) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(&s.at(k, 0)) % sh.align, 0u) << k;
      for (int l = 0; l < sh.lanes; ++l) EXPECT_EQ(bits(s.at(k, l)), want[k]) << k << "," << l;
    }
  }
  // Heap copies keep the alignment the aligned moves need.
  auto heap = std::make_unique<KernelState>(make_kernel_state(KernelKind::Avx2Fma));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(heap->lanes) % 32, 0u);
}

TEST(KernelState, KindFollowsAvx2AndFmaTogether) {
  EXPECT_EQ(kernel_kind_for({true, true, false}), KernelKind::Avx2Fma);
  EXPECT_EQ(kernel_kind_for({true, true, true}), KernelKind::Avx2Fma);
  EXPECT_EQ(kernel_kind_for({true, false, false}), KernelKind::Sse2);
  EXPECT_EQ(kernel_kind_for({false, true, true}), KernelKind::Sse2);
  EXPECT_EQ(kernel_kind_for({}), KernelKind::Sse2);
}

TEST(ReduceState, AddsVectorsInIndexOrderThenLanesInLaneOrder) {
  KernelState s = make_kernel_state(KernelKind::Sse2);
  for (float& f : s.lanes) f = 0.0f;
  // Per lane: 1e8 + 1 loses the 1 (spacing 8 at 1e8), so index order gives 0 where any
  // other order would keep the 1.
  for (int l = 0; l < 4; ++l) {
    s.at(0, l) = 1e8f;
    s.at(1, l) = 1.0f;
    s.at(2, l) = -1e8f;
    s.at(3, l) = 0.25f * static_cast<float>(l + 1);
  }
  // Lane sums 0.25, 0.5, 0.75, 1.0; make lane 0 large so lane order matters too.
  s.at(4, 0) = 3e7f;
  s.at(4, 1) = 0.5f;  // lane 1 sum: 1.0
  s.at(4, 2) = -3e7f;
  // 3e7+0.25, then + 1.0 (spacing 2: rounds), then -3e7, then + 1.0.
  volatile float want = 0.0f;
  want = want + (3e7f + 0.25f);
  want = want + 1.0f;
  want = want + (-3e7f + 0.75f);
  want = want + 1.0f;
  EXPECT_EQ(bits(reduce_state(s)), bits(want));

  KernelState fresh = make_kernel_state(KernelKind::Avx2Fma);
  float lane_sum = 0.0f;
  for (int k = 0; k < 12; ++k) lane_sum += fresh.at(k, 0);
  float total = 0.0f;
  for (int l = 0; l < 8; ++l) total += lane_sum;
  EXPECT_EQ(bits(reduce_state(fresh)), bits(total));
}

void expect_kernel_matches(KernelKind kind, void (*kernel)(KernelState&, uint32_t),
                           float (*step)(float)) {
  for (uint32_t n : {0u, 1u, 7u, 1000u}) {
    SCOPED_TRACE(n);
    KernelState s = make_kernel_state(kind);
    KernelState want = s;
    kernel(s, n);
    for (int k = 0; k < want.vectors(); ++k) {
      float x = want.at(k, 0);
      for (uint32_t i = 0; i < n; ++i) x = step(x);
      for (int l = 0; l < want.lanes_per_vector(); ++l) {
        ASSERT_EQ(bits(s.at(k, l)), bits(x)) << "vector " << k << " lane " << l;
      }
    }
  }
  // Calls continue from the stored state: 3 + 5 iterations equal 8.
  KernelState split = make_kernel_state(kind), whole = make_kernel_state(kind);
  kernel(split, 3);
  kernel(split, 5);
  kernel(whole, 8);
  EXPECT_EQ(std::memcmp(split.lanes, whole.lanes, sizeof split.lanes), 0);
}

TEST(FusedReference, AgreesWithTheLibraryWhereItIsExact) {
#if defined(__GLIBC__)
  // glibc's fmaf is correctly rounded: it checks the reference above.
  // Every 15th float from 0.99 to about 1.14: the range the lanes live in.
  uint32_t u = bits(0.99f);
  for (int i = 0; i < 100000; ++i, u += 15) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    ASSERT_EQ(bits(fused(x)), bits(std::fma(x, kKernelMul, kKernelAdd))) << x;
  }
#else
  GTEST_SKIP() << "no correctly rounded fmaf to compare with";
#endif
}

TEST(BurnSse2, MatchesScalarMultiplyThenAdd) {
  expect_kernel_matches(KernelKind::Sse2, burn_sse2, mul_then_add);
}

TEST(BurnAvx2Fma, MatchesScalarFusedMultiplyAdd) {
  if (!has_avx2fma()) GTEST_SKIP() << "no AVX2+FMA here";
  expect_kernel_matches(KernelKind::Avx2Fma, burn_avx2fma, fused);
}

TEST(Burn, LanesStayFiniteNearOneAfterManyIterations) {
  KernelKind kinds[2] = {KernelKind::Sse2, KernelKind::Avx2Fma};
  for (KernelKind kind : kinds) {
    if (kind == KernelKind::Avx2Fma && !has_avx2fma()) continue;
    KernelState s = make_kernel_state(kind);
    for (int round = 0; round < 20; ++round) {
      burn(s, 250'000);
      for (int k = 0; k < s.vectors(); ++k) {
        for (int l = 0; l < s.lanes_per_vector(); ++l) {
          float v = s.at(k, l);
          ASSERT_TRUE(std::isnormal(v)) << round << " " << k << " " << l;
          ASSERT_NEAR(v, 1.0f, 0.001f) << round << " " << k << " " << l;
        }
      }
    }
    float r = reduce_state(s);
    EXPECT_NEAR(r, static_cast<float>(s.vectors() * s.lanes_per_vector()), 0.1f);
  }
}

TEST(Burn, DispatchesOnTheStateKind) {
  KernelState a = make_kernel_state(KernelKind::Sse2), b = a;
  burn(a, 10);
  burn_sse2(b, 10);
  EXPECT_EQ(std::memcmp(a.lanes, b.lanes, sizeof a.lanes), 0);
  if (!has_avx2fma()) return;
  KernelState c = make_kernel_state(KernelKind::Avx2Fma), d = c;
  burn(c, 10);
  burn_avx2fma(d, 10);
  EXPECT_EQ(std::memcmp(c.lanes, d.lanes, sizeof c.lanes), 0);
}

}  // namespace kernel_test
}  // namespace kestrune
