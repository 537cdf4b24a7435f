// Closed-loop figures for the power regulator against a simulated machine: how fast "target"
// mode settles and how far it overshoots. Prints figures only.
//
// Usage: kl_bench regulator [tau=SECONDS] [noise=WATTS] [seed=N] [secs=SECONDS]

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "power/power_regulator.h"
#include "util/bench.h"

namespace kestrune {
namespace {

struct PlantConfig {
  double idle_w = 20;
  double span_w = 100;   // extra watts at full duty
  double tau_s = 0.7;    // first-order lag of the measured power behind the duty
  double noise_w = 2;    // standard deviation of each reading
  uint64_t seed = 1;
  double run_s = 30;     // observation time after the target is set
};

// A machine whose power follows idle + span × duty through a first-order lag; readings add
// Gaussian noise. The duty is quantised to 1/10000 as the load threads see it.
class Plant {
 public:
  explicit Plant(const PlantConfig& c) : c_(c), power_(c.idle_w), rng_(c.seed) {}

  void advance(double duty, double dt_s) {
    const double quantised = std::round(std::clamp(duty, 0.0, 1.0) * 10000.0) / 10000.0;
    const double goal = c_.idle_w + c_.span_w * quantised;
    power_ += (goal - power_) * (1.0 - std::exp(-dt_s / c_.tau_s));
  }
  double power() const { return power_; }
  double reading() { return std::clamp(power_ + c_.noise_w * unit_noise_(rng_), 0.0, 5000.0); }

 private:
  PlantConfig c_;
  double power_;
  std::mt19937_64 rng_;
  std::normal_distribution<double> unit_noise_{0.0, 1.0};  // scaled: a zero sd is not allowed
};

constexpr uint64_t kStepMs = 10;
constexpr uint64_t kTickMs = 100;
constexpr uint64_t kReadingMs = 250;

// Runs plant and regulator together from `from_ms` to `to_ms`, calling `observe(now, power)`
// after every step.
template <typename Observe>
void run(Plant& plant, PowerRegulator& reg, uint64_t from_ms, uint64_t to_ms, Observe observe) {
  for (uint64_t now = from_ms; now < to_ms; now += kStepMs) {
    if (now % kReadingMs == 0) reg.apply_reading(plant.reading(), now);
    if (now % kTickMs == 0) reg.check_stale(now);
    plant.advance(reg.duty, kStepMs / 1000.0);
    observe(now, plant.power());
  }
}

void run(Plant& plant, PowerRegulator& reg, uint64_t from_ms, uint64_t to_ms) {
  run(plant, reg, from_ms, to_ms, [](uint64_t, double) {});
}

struct Figures {
  double settle_s = -1;     // -1: never stayed within the band
  double overshoot_pct = 0; // excursion past the target, away from the side it started on
  double mean_err_pct = 0;  // over the last third of the run
  double ripple_w = 0;      // standard deviation of the power over the last third
  double duty = 0;          // at the end
};

enum class Start { Cold, Learned, FromFull };

const char* start_name(Start s) {
  switch (s) {
    case Start::Cold: return "cold";
    case Start::Learned: return "learned";
    case Start::FromFull: return "from-full";
  }
  return "?";
}

Figures measure(const PlantConfig& c, Start start, double target) {
  Plant plant(c);
  PowerRegulator reg;
  uint64_t t0 = 0;
  const DomainSet free_load{DomainMode::Free, std::nullopt, std::nullopt};
  const DomainSet rest{DomainMode::Off, std::nullopt, std::nullopt};
  if (start != Start::Cold) {
    // Learn the full-load level in free mode, then (unless going straight from full load)
    // the idle level with the machine at rest.
    reg.apply_mode(free_load, true, 0);
    run(plant, reg, 0, 10000);
    t0 = 10000;
    if (start == Start::Learned) {
      reg.apply_mode(rest, true, t0);
      run(plant, reg, t0, t0 + 5000);
      t0 += 5000;
    }
  }

  reg.apply_mode(DomainSet{DomainMode::Target, target, std::nullopt}, true, t0);
  const double band = 0.03 * target;
  const bool from_below = plant.power() < target;
  const uint64_t end = t0 + static_cast<uint64_t>(c.run_s * 1000);
  const uint64_t tail_from = end - (end - t0) / 3;
  bool crossed = false;
  uint64_t last_outside = t0;
  double worst_past = 0, tail_sum = 0, tail_sq = 0;
  int tail_n = 0;
  run(plant, reg, t0, end, [&](uint64_t now, double p) {
    if (std::fabs(p - target) > band) last_outside = now + kStepMs;
    const double past = from_below ? p - target : target - p;
    if (past >= 0) crossed = true;
    if (crossed) worst_past = std::max(worst_past, past);
    if (now >= tail_from) {
      tail_sum += p;
      tail_sq += p * p;
      ++tail_n;
    }
  });

  Figures f;
  if (last_outside < end) f.settle_s = static_cast<double>(last_outside - t0) / 1000.0;
  f.overshoot_pct = 100.0 * worst_past / target;
  const double mean = tail_sum / tail_n;
  f.mean_err_pct = 100.0 * (mean - target) / target;
  if (std::fabs(f.mean_err_pct) < 0.005) f.mean_err_pct = 0;  // no "-0.00" in the table
  f.ripple_w = std::sqrt(std::max(0.0, tail_sq / tail_n - mean * mean));
  f.duty = reg.duty;
  return f;
}

void print_table(const PlantConfig& c) {
  std::printf("plant: idle %.0f W, span %.0f W, lag %.2f s, noise %.1f W sd, "
              "readings every %llu ms, seed %llu, %.0f s per run\n",
              c.idle_w, c.span_w, c.tau_s, c.noise_w, static_cast<unsigned long long>(kReadingMs),
              static_cast<unsigned long long>(c.seed), c.run_s);
  std::printf("%-10s %7s %9s %12s %14s %10s %6s\n", "start", "target", "settle_s", "overshoot_%",
              "tail_mean_err%", "ripple_W", "duty");
  for (Start start : {Start::Cold, Start::Learned, Start::FromFull}) {
    for (double target : {45.0, 70.0, 110.0}) {
      const Figures f = measure(c, start, target);
      char settle[32];
      if (f.settle_s < 0) {
        std::snprintf(settle, sizeof settle, "never");
      } else {
        std::snprintf(settle, sizeof settle, "%.2f", f.settle_s);
      }
      std::printf("%-10s %7.1f %9s %12.1f %14.2f %10.2f %6.3f\n", start_name(start), target, settle,
                  f.overshoot_pct, f.mean_err_pct, f.ripple_w, f.duty);
    }
  }
}

void regulator_bench(const std::vector<std::string>& args) {
  PlantConfig c;
  bool noise_given = false;
  for (const std::string& a : args) {
    const auto eq = a.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = a.substr(0, eq);
    const char* value = a.c_str() + eq + 1;
    if (key == "tau") c.tau_s = std::max(0.01, std::atof(value));
    if (key == "noise") {
      c.noise_w = std::max(0.0, std::atof(value));
      noise_given = true;
    }
    if (key == "seed") c.seed = std::strtoull(value, nullptr, 10);
    if (key == "secs") c.run_s = std::clamp(std::atof(value), 3.0, 600.0);
  }
  std::printf("start: cold = nothing learned; learned = 10 s free, 5 s off, then target;\n"
              "       from-full = 10 s free, then target straight from full load\n"
              "settle: true power within +-3%% of the target from then on; overshoot: past the\n"
              "        target after first reaching it; tail: last third of the run\n");
  if (!noise_given) {
    // The noiseless run shows the loop's own dynamics; the noisy one what a meter adds.
    PlantConfig quiet = c;
    quiet.noise_w = 0;
    print_table(quiet);
  }
  print_table(c);
}

}  // namespace
}  // namespace kestrune

KL_BENCH("regulator", kestrune::regulator_bench);
