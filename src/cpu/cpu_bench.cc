// Benchmarks of the CPU load engine: kernel throughput against the core's peak, and how
// closely the workers' CPU use follows the duty asked. They print figures only.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cpu/cpu_features.h"
#include "cpu/cpu_pool.h"
#include "cpu/kernel_state.h"
#include "os/clock.h"
#include "os/cpu_time.h"
#include "os/stop_event.h"
#include "os/thread.h"
#include "util/bench.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <x86intrin.h>
#endif

#if defined(__GNUC__)
#define KL_HAVE_GNU_ASM 1
#endif

namespace kestrune {
namespace {

// ---------------------------------------------------------------------------------------
// Core clock and instruction timings from dependent chains of known shape.

#if KL_HAVE_GNU_ASM
// 100 dependent integer adds: 100 cycles per pass on every x86-64 core.
void add_chain(uint64_t passes) {
  uint64_t x = 0, y = 1;
  for (uint64_t i = 0; i < passes; ++i) {
    __asm__ volatile(".rept 100\n\taddq %1, %0\n\t.endr" : "+r"(x) : "r"(y));
  }
}

// 100 dependent mulps (x = x * x from 1.0: the value stays 1.0).
void mulps_chain(uint64_t passes) {
  __m128 x = _mm_set1_ps(1.0f);
  for (uint64_t i = 0; i < passes; ++i) {
    __asm__ volatile(".rept 100\n\tmulps %0, %0\n\t.endr" : "+x"(x));
  }
}

// 100 dependent addps (x = x + x from 0.0: stays 0.0).
void addps_chain(uint64_t passes) {
  __m128 x = _mm_setzero_ps();
  for (uint64_t i = 0; i < passes; ++i) {
    __asm__ volatile(".rept 100\n\taddps %0, %0\n\t.endr" : "+x"(x));
  }
}

// 100 dependent multiply-then-add steps, exactly one chain of the SSE2 kernel:
// x = x * 1 + 0 from 1.0. Includes any delay for passing results between the pipes.
void mul_add_chain(uint64_t passes) {
  __m128 x = _mm_set1_ps(1.0f), one = _mm_set1_ps(1.0f), zero = _mm_setzero_ps();
  for (uint64_t i = 0; i < passes; ++i) {
    __asm__ volatile(".rept 100\n\tmulps %1, %0\n\taddps %2, %0\n\t.endr"
                     : "+x"(x)
                     : "x"(one), "x"(zero));
  }
}

// 100 dependent fused multiply-adds (x = x * x + x from 0.0). Needs FMA.
void fma_chain(uint64_t passes) {
  __m128 x = _mm_setzero_ps();
  for (uint64_t i = 0; i < passes; ++i) {
    __asm__ volatile(".rept 100\n\tvfmadd231ps %0, %0, %0\n\t.endr" : "+x"(x));
  }
}

#define KL_X16(op, a, b) \
  op " %%" a "0,%%" b "0\n\t" op " %%" a "1,%%" b "1\n\t" op " %%" a "2,%%" b "2\n\t"  \
  op " %%" a "3,%%" b "3\n\t" op " %%" a "4,%%" b "4\n\t" op " %%" a "5,%%" b "5\n\t"  \
  op " %%" a "6,%%" b "6\n\t" op " %%" a "7,%%" b "7\n\t"

// 8 independent mulps chains on xmm0-7 and 8 addps chains on xmm8-15: 1600 operations a
// pass, limited only by the ports that execute them.
void mul_add_throughput(uint64_t passes) {
  static const float one[4] = {1, 1, 1, 1};
  __asm__ volatile(
      "movups (%1), %%xmm0\n\tmovaps %%xmm0, %%xmm1\n\tmovaps %%xmm0, %%xmm2\n\t"
      "movaps %%xmm0, %%xmm3\n\tmovaps %%xmm0, %%xmm4\n\tmovaps %%xmm0, %%xmm5\n\t"
      "movaps %%xmm0, %%xmm6\n\tmovaps %%xmm0, %%xmm7\n\t"
      "xorps %%xmm8, %%xmm8\n\txorps %%xmm9, %%xmm9\n\txorps %%xmm10, %%xmm10\n\t"
      "xorps %%xmm11, %%xmm11\n\txorps %%xmm12, %%xmm12\n\txorps %%xmm13, %%xmm13\n\t"
      "xorps %%xmm14, %%xmm14\n\txorps %%xmm15, %%xmm15\n\t"
      "1:\n\t"
      ".rept 100\n\t"
      "mulps %%xmm0,%%xmm0\n\tmulps %%xmm1,%%xmm1\n\tmulps %%xmm2,%%xmm2\n\t"
      "mulps %%xmm3,%%xmm3\n\tmulps %%xmm4,%%xmm4\n\tmulps %%xmm5,%%xmm5\n\t"
      "mulps %%xmm6,%%xmm6\n\tmulps %%xmm7,%%xmm7\n\t"
      "addps %%xmm8,%%xmm8\n\taddps %%xmm9,%%xmm9\n\taddps %%xmm10,%%xmm10\n\t"
      "addps %%xmm11,%%xmm11\n\taddps %%xmm12,%%xmm12\n\taddps %%xmm13,%%xmm13\n\t"
      "addps %%xmm14,%%xmm14\n\taddps %%xmm15,%%xmm15\n\t"
      ".endr\n\t"
      "dec %0\n\tjnz 1b\n\t"
      : "+r"(passes)
      : "r"(one)
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
        "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "cc", "memory");
}

// 16 independent 256-bit FMA chains (x = x * x + x from 0): 1600 FMAs a pass, port-bound.
void fma256_throughput(uint64_t passes) {
  __asm__ volatile(
      "vxorps %%xmm0,%%xmm0,%%xmm0\n\tvxorps %%xmm1,%%xmm1,%%xmm1\n\t"
      "vxorps %%xmm2,%%xmm2,%%xmm2\n\tvxorps %%xmm3,%%xmm3,%%xmm3\n\t"
      "vxorps %%xmm4,%%xmm4,%%xmm4\n\tvxorps %%xmm5,%%xmm5,%%xmm5\n\t"
      "vxorps %%xmm6,%%xmm6,%%xmm6\n\tvxorps %%xmm7,%%xmm7,%%xmm7\n\t"
      "vxorps %%xmm8,%%xmm8,%%xmm8\n\tvxorps %%xmm9,%%xmm9,%%xmm9\n\t"
      "vxorps %%xmm10,%%xmm10,%%xmm10\n\tvxorps %%xmm11,%%xmm11,%%xmm11\n\t"
      "vxorps %%xmm12,%%xmm12,%%xmm12\n\tvxorps %%xmm13,%%xmm13,%%xmm13\n\t"
      "vxorps %%xmm14,%%xmm14,%%xmm14\n\tvxorps %%xmm15,%%xmm15,%%xmm15\n\t"
      "1:\n\t"
      ".rept 100\n\t"
      "vfmadd231ps %%ymm0,%%ymm0,%%ymm0\n\tvfmadd231ps %%ymm1,%%ymm1,%%ymm1\n\t"
      "vfmadd231ps %%ymm2,%%ymm2,%%ymm2\n\tvfmadd231ps %%ymm3,%%ymm3,%%ymm3\n\t"
      "vfmadd231ps %%ymm4,%%ymm4,%%ymm4\n\tvfmadd231ps %%ymm5,%%ymm5,%%ymm5\n\t"
      "vfmadd231ps %%ymm6,%%ymm6,%%ymm6\n\tvfmadd231ps %%ymm7,%%ymm7,%%ymm7\n\t"
      "vfmadd231ps %%ymm8,%%ymm8,%%ymm8\n\tvfmadd231ps %%ymm9,%%ymm9,%%ymm9\n\t"
      "vfmadd231ps %%ymm10,%%ymm10,%%ymm10\n\tvfmadd231ps %%ymm11,%%ymm11,%%ymm11\n\t"
      "vfmadd231ps %%ymm12,%%ymm12,%%ymm12\n\tvfmadd231ps %%ymm13,%%ymm13,%%ymm13\n\t"
      "vfmadd231ps %%ymm14,%%ymm14,%%ymm14\n\tvfmadd231ps %%ymm15,%%ymm15,%%ymm15\n\t"
      ".endr\n\t"
      "dec %0\n\tjnz 1b\n\t"
      "vzeroupper\n\t"
      : "+r"(passes)
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
        "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "cc");
}
#endif  // KL_HAVE_GNU_ASM

// Runs are kept short (well under a scheduler time slice) so that on a busy machine most
// of them run uninterrupted; the shortest one counts.
constexpr int kDefaultReps = 400;
#if KL_HAVE_GNU_ASM
constexpr uint64_t kClockPasses = 5000;  // 500,000 dependent adds: 500,000 cycles
#endif

struct Timing {
  double cycles;          // core cycles of the shortest run of fn
  double core_per_tick;   // core cycles per TSC tick, measured next to it
};

// Core cycles of fn(): TSC ticks of its shortest run times the core cycles per tick from
// the shortest run of the add chain, interleaved with fn so that both see the same clock.
template <class Fn>
Timing time_cycles(Fn fn, int reps) {
  uint64_t best_fn = UINT64_MAX, best_clock = UINT64_MAX;
  for (int r = 0; r < reps; ++r) {
    const uint64_t c0 = __rdtsc();
#if KL_HAVE_GNU_ASM
    add_chain(kClockPasses);
#endif
    const uint64_t c1 = __rdtsc();
    fn();
    const uint64_t c2 = __rdtsc();
    best_clock = std::min(best_clock, c1 - c0);
    best_fn = std::min(best_fn, c2 - c1);
  }
#if KL_HAVE_GNU_ASM
  const double per_tick = 100.0 * kClockPasses / static_cast<double>(best_clock);
#else
  const double per_tick = 1.0;  // no way to count core cycles: TSC ticks stand in
#endif
  return {static_cast<double>(best_fn) * per_tick, per_tick};
}

void kernels_bench(const std::vector<std::string>& args) {
  const int reps = args.empty() ? kDefaultReps : std::max(1, std::atoi(args[0].c_str()));
  const CpuFeatures f = detect_cpu_features();
  const bool avx2 = kernel_kind_for(f) == KernelKind::Avx2Fma;
  std::printf("processor: isa %s, isaMax %s; one thread, shortest of %d runs of about 0.3 ms\n",
              isa_text(f), isa_max_text(f), reps);

  // TSC rate against the monotonic clock.
  const uint64_t c0 = __rdtsc(), t0 = os::monotonic_ns();
  os::sleep_ms(200);
  const uint64_t c1 = __rdtsc(), t1 = os::monotonic_ns();
  const double tsc_ghz = static_cast<double>(c1 - c0) / static_cast<double>(t1 - t0);

#if KL_HAVE_GNU_ASM
  constexpr uint64_t kPasses = 5000;
  add_chain(kPasses * 20);  // wake the core up
  auto per_op = [&](void (*fn)(uint64_t), uint64_t passes, double ops_per_pass) {
    return time_cycles([&] { fn(passes); }, reps).cycles /
           (ops_per_pass * static_cast<double>(passes));
  };
  const double lat_mul = per_op(mulps_chain, kPasses, 100);
  const double lat_add = per_op(addps_chain, kPasses, 100);
  const double lat_step = per_op(mul_add_chain, kPasses, 100);
  const double mixed_per_cycle = 1.0 / per_op(mul_add_throughput, kPasses / 8, 1600);
  std::printf(
      "method: cycles = TSC ticks x core cycles per tick; core cycles per tick from 100\n"
      "        dependent integer adds (1 cycle each), interleaved with every measurement;\n"
      "        latencies from 100-long dependent chains; port throughput from 16\n"
      "        independent chains.\n");
  std::printf(
      "mulps latency %.2f, addps latency %.2f, mulps-then-addps step %.2f cycles; mulps+addps "
      "throughput %.2f/cycle\n",
      lat_mul, lat_add, lat_step, mixed_per_cycle);
  // The SSE2 kernel's eight chains each need one multiply-then-add step per iteration,
  // and the ports must issue 16 operations.
  const double sse2_bound = 64.0 / std::max(lat_step, 16.0 / mixed_per_cycle);
#else
  std::printf("method: no inline assembler with this compiler: cycles are TSC ticks\n");
  const double sse2_bound = 8.0;
#endif

  constexpr uint32_t kIters = 50'000;
  auto kernel = [&](KernelKind kind, double flops_per_iter) {
    KernelState s = make_kernel_state(kind);
    burn(s, kIters * 20);
    Timing t = time_cycles([&] { burn(s, kIters); }, reps);
    volatile float keep = reduce_state(s);
    (void)keep;
    std::printf("core clock %.3f GHz (TSC %.3f GHz)\n", tsc_ghz * t.core_per_tick, tsc_ghz);
    return flops_per_iter * kIters / t.cycles;
  };
  {
    const double fpc = kernel(KernelKind::Sse2, 64.0);
    std::printf(
        "sse2:    %.2f flops/cycle; %.1f%% of 8 (multiply 4 + add 4 cycles); %.1f%% of the "
        "8-chain bound of this core, %.2f\n",
        fpc, 100.0 * fpc / 8.0, 100.0 * fpc / sse2_bound, sse2_bound);
  }
  if (avx2) {
#if KL_HAVE_GNU_ASM
    const double lat_fma = per_op(fma_chain, kPasses, 100);
    const double fma_per_cycle = 1.0 / per_op(fma256_throughput, kPasses / 8, 1600);
    std::printf("fma latency %.2f cycles; 256-bit fma throughput %.2f/cycle (%.1f flops/cycle)\n",
                lat_fma, fma_per_cycle, fma_per_cycle * 16.0);
#endif
    const double fpc = kernel(KernelKind::Avx2Fma, 192.0);
    std::printf("avx2fma: %.2f flops/cycle; %.1f%% of 32 (2 FMA ports x 8 lanes x 2)\n", fpc,
                100.0 * fpc / 32.0);
  } else {
    std::printf("avx2fma: not run (no AVX2+FMA)\n");
  }
}

KL_BENCH("kernels", kernels_bench);

// ---------------------------------------------------------------------------------------
// Duty fidelity: CPU time the workers use against wall time and the duty asked.

// Busy CPU time of the whole machine in nanoseconds, where the system publishes it
// (/proc/stat), else 0. A busy machine starves below-normal workers: the share of the
// machine that other processes used during a case tells whether its figure is the
// engine's or the neighbours'.
uint64_t machine_busy_ns() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) ||
      cpu != "cpu") {
    return 0;
  }
  return (user + nice + system + irq + softirq + steal) * 10'000'000ull;  // USER_HZ 100
}

struct DutyResult {
  double avg_err_pts;  // (measured - asked) over the whole run, percentage points
  double others_pct;   // CPU the rest of the machine used, % of all logical processors
  double mean_sample_err, sd_sample_err, min_sample_err, max_sample_err;
};

DutyResult run_duty(const CpuFeatures& f, uint32_t workers, double duty, int seconds) {
  auto control = std::make_shared<LoadControl>();
  control->stop_event = os::StopEvent::create();
  control->base_instant_ns = os::monotonic_ns();
  auto [commands, inbox] = make_channel<SupervisorMsg>();
  CpuPoolStart pool = start_cpu_pool(commands, control, f, workers);
  if (!pool.ok()) {
    std::printf("pool start failed\n");
    std::exit(1);
  }
  for (int i = 0; i < 500 && control->threads_started.load() < pool.value(); ++i) os::sleep_ms(1);
  control->cpu_duty_e4.store(static_cast<uint32_t>(std::lround(duty * 10000)));
  os::sleep_ms(300);  // let every worker reach a period boundary

  // The main thread's own CPU time is the baseline taken out of the process's.
  auto workers_cpu = [] { return os::process_cpu_ns() - os::thread_cpu_ns(); };
  const uint64_t busy0 = machine_busy_ns(), process0 = os::process_cpu_ns();
  const uint64_t wall0 = os::monotonic_ns(), cpu0 = workers_cpu();
  uint64_t wall_prev = wall0, cpu_prev = cpu0;
  std::vector<double> samples;
  for (int s = 0; s < seconds; ++s) {
    // Sleep to the next whole second of this run.
    const uint64_t next = wall0 + static_cast<uint64_t>(s + 1) * 1'000'000'000ull;
    for (uint64_t now = os::monotonic_ns(); now < next; now = os::monotonic_ns()) {
      os::sleep_ms(static_cast<uint32_t>((next - now + 999'999) / 1'000'000));
    }
    const uint64_t wall = os::monotonic_ns(), cpu = workers_cpu();
    samples.push_back(100.0 * (static_cast<double>(cpu - cpu_prev) /
                                   (static_cast<double>(wall - wall_prev) * pool.value()) -
                               duty));
    wall_prev = wall;
    cpu_prev = cpu;
  }
  const double total = static_cast<double>(cpu_prev - cpu0) /
                       (static_cast<double>(wall_prev - wall0) * pool.value());
  const uint64_t busy = machine_busy_ns() - busy0, ours = os::process_cpu_ns() - process0;
  const double others = busy == 0 ? 0.0
                                  : 100.0 * (static_cast<double>(busy) - static_cast<double>(ours)) /
                                        (static_cast<double>(wall_prev - wall0) *
                                         os::logical_processor_count());

  control->cpu_duty_e4.store(0);
  control->stop_requested.store(true);
  control->stop_event->signal();
  for (int i = 0; i < 500; ++i) {
    if (control->threads_exited.load() >= control->threads_started.load()) break;
    os::sleep_ms(2);
  }

  DutyResult r{};
  r.avg_err_pts = 100.0 * (total - duty);
  r.others_pct = std::max(0.0, others);
  double sum = 0, sq = 0;
  r.min_sample_err = 1e9;
  r.max_sample_err = -1e9;
  for (double e : samples) {
    sum += e;
    sq += e * e;
    r.min_sample_err = std::min(r.min_sample_err, e);
    r.max_sample_err = std::max(r.max_sample_err, e);
  }
  const double n = static_cast<double>(samples.size());
  r.mean_sample_err = sum / n;
  r.sd_sample_err = std::sqrt(std::max(0.0, sq / n - r.mean_sample_err * r.mean_sample_err));
  return r;
}

// kl_bench duty [seconds per case, 5] [workers: 0 = 1 and all, the default]
//               [duties, comma-separated] [busy %: retry a case, up to 3 attempts, while the
//               rest of the machine used more than this; the quietest attempt is shown]
void duty_bench(const std::vector<std::string>& args) {
  const int seconds = args.size() > 0 ? std::max(1, std::atoi(args[0].c_str())) : 5;
  const uint32_t p = os::logical_processor_count();
  std::vector<uint32_t> counts{1};
  if (p > 1) counts.push_back(p);
  if (args.size() > 1 && std::atoi(args[1].c_str()) > 0) {
    counts = {static_cast<uint32_t>(std::atoi(args[1].c_str()))};
  }
  std::vector<double> duties{0.05, 0.1, 0.25, 0.5, 0.75, 0.9, 0.95};
  if (args.size() > 2) {
    duties.clear();
    std::string list = args[2] + ",";
    for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
      const double d = std::atof(list.substr(at, comma - at).c_str());
      if (d > 0.0 && d <= 1.0) duties.push_back(d);
    }
  }
  const double busy_limit = args.size() > 3 ? std::atof(args[3].c_str()) : 101.0;
  const CpuFeatures f = detect_cpu_features();
  std::printf(
      "method: a real pool per case; workers' CPU time = process CPU time minus the main\n"
      "        thread's, over %d s after a 0.3 s settle; error = CPU time / (wall x workers)\n"
      "        - duty, in percentage points; samples are whole seconds. %u logical processors.\n"
      "        \"others %%\": CPU used by the rest of the machine meanwhile (Linux /proc/stat).\n",
      seconds, p);
  std::printf("%7s %6s %9s %9s %9s %9s %9s\n", "workers", "duty", "avg err", "sd 1s", "min 1s",
              "max 1s", "others %");
  for (uint32_t w : counts) {
    double worst = 0;
    for (double d : duties) {
      DutyResult r = run_duty(f, w, d, seconds);
      for (int attempt = 1; attempt < 3 && r.others_pct > busy_limit; ++attempt) {
        DutyResult again = run_duty(f, w, d, seconds);
        if (again.others_pct < r.others_pct) r = again;
      }
      std::printf("%7u %6.2f %+9.3f %9.3f %+9.3f %+9.3f %9.1f\n", w, d, r.avg_err_pts,
                  r.sd_sample_err, r.min_sample_err, r.max_sample_err, r.others_pct);
      std::fflush(stdout);
      worst = std::max(worst, std::fabs(r.avg_err_pts));
    }
    std::printf("%7u  worst |avg err| %.3f points\n", w, worst);
  }
}

KL_BENCH("duty", duty_bench);

}  // namespace
}  // namespace kestrune
