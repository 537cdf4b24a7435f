#include "power/power_regulator.h"

#include <algorithm>
#include <cmath>

namespace kestrune {
namespace {

constexpr double kMaxValidW = 5000.0;
constexpr uint64_t kIdleWindowMs = 1000;
constexpr uint64_t kFullWindowMs = 2000;
constexpr std::size_t kFullMinSamples = 4;
constexpr double kFirstDtS = 0.25;  // no earlier reading to measure the interval from
constexpr double kMinDtS = 0.1;
constexpr double kMaxDtS = 1.0;
constexpr double kRampPerS = 0.25;
constexpr double kPropGain = 0.3;
constexpr double kIntGainPerS = 0.6;
constexpr double kDefaultFeedForward = 0.5;
constexpr double kMinSpanW = 5.0;
constexpr uint64_t kStaleMs = 2000;

// Elapsed ms, saturating at 0 should `t` lie in the future.
uint64_t age_ms(uint64_t now, uint64_t t) { return t > now ? 0 : now - t; }

// Appends a reading, drops every entry `max_age_ms` old or older (the new one always stays),
// enforces the length cap and returns the mean of what remains.
double push_and_mean(std::deque<WattSample>& window, uint64_t now, double watts,
                     uint64_t max_age_ms) {
  window.push_back({now, watts});
  std::erase_if(window, [&](const WattSample& s) { return age_ms(now, s.at_ms) >= max_age_ms; });
  while (window.size() > PowerRegulator::kMaxWindowSamples) window.pop_front();
  double sum = 0;
  for (const WattSample& s : window) sum += s.watts;
  return sum / static_cast<double>(window.size());
}

// Duty at which the learned idle-to-full power line reaches `target`; 0.5 until both levels
// are known and far enough apart to divide by.
double feed_forward(const PowerRegulator& r, double target) {
  if (r.idle_avg && r.full_avg) {
    const double span = *r.full_avg - *r.idle_avg;
    if (span > kMinSpanW) return std::clamp((target - *r.idle_avg) / span, 0.0, 1.0);
  }
  return kDefaultFeedForward;
}

// One step of the "target" controller for reading `watts` after `dt_s` seconds.
void control_step(PowerRegulator& r, double target, double watts, double dt_s) {
  const double e = (target - watts) / std::max(target, 1.0);
  const double ff = feed_forward(r, target);
  const double step = kRampPerS * dt_s;
  const double p = kPropGain * e + ff;
  const double d = r.duty;

  // Anti-windup: don't integrate while the output is pinned at a limit, or while the
  // step limit would cut the rise anyway.
  bool integrate = true;
  if (e > 0) {
    integrate = !(d >= 1.0 || std::clamp(p + r.integral, 0.0, 1.0) - d > step);
  } else if (e < 0) {
    integrate = d > 0.0;
  }
  if (integrate) r.integral = std::clamp(r.integral + dt_s * (kIntGainPerS * e), -1.0, 1.0);

  const double u = std::clamp(p + r.integral, 0.0, 1.0);
  // Rises are rate-limited; falls are taken at once so overshoot is shed quickly.
  r.duty = (u - d > step) ? std::clamp(d + step, 0.0, 1.0) : u;
}

}  // namespace

bool reading_is_valid(std::optional<double> watts) {
  return watts && std::isfinite(*watts) && *watts >= 0.0 && *watts <= kMaxValidW;
}

void PowerRegulator::apply_mode(const std::optional<DomainSet>& set, bool active,
                                uint64_t now) {
  DomainMode next = DomainMode::Off;
  std::optional<double> eff;
  if (set && active) {
    switch (set->mode) {
      case DomainMode::Off:
        break;
      case DomainMode::Free:
        next = DomainMode::Free;
        break;
      case DomainMode::Target:
        if (set->target_w && std::isfinite(*set->target_w)) {
          double t = *set->target_w;
          if (set->cap_w && std::isfinite(*set->cap_w)) t = std::min(t, *set->cap_w);
          if (t > 0.0) {
            next = DomainMode::Target;
            eff = t;
          }
        }
        break;
    }
  }

  if (next != mode) {
    integral = 0;
    mode_since = now;
    // Full-load learning restarts with each free run; the last average is kept meanwhile.
    if (next == DomainMode::Free) full_window.clear();
  }
  mode = next;
  target_w = eff;
  if (mode == DomainMode::Off) {
    duty = 0;
    stale = false;
  }
}

void PowerRegulator::switch_off(uint64_t now) { apply_mode(std::nullopt, false, now); }

void PowerRegulator::apply_reading(std::optional<double> reading, uint64_t now) {
  if (!reading_is_valid(reading)) return;
  const double watts = *reading;

  double dt_s = kFirstDtS;
  if (last_sample) {
    dt_s = std::clamp(static_cast<double>(age_ms(now, *last_sample)) / 1000.0, kMinDtS,
                      kMaxDtS);
  }
  last_sample = now;
  stale = false;

  // Both learning rules look at the duty this reading was taken under, before it moves.
  if (duty <= 0.0) {
    idle_avg = push_and_mean(idle_window, now, watts, kIdleWindowMs);
  } else {
    idle_window.clear();
  }
  if (mode == DomainMode::Free && duty >= 1.0) {
    const double mean = push_and_mean(full_window, now, watts, kFullWindowMs);
    if (full_window.size() >= kFullMinSamples) full_avg = mean;
  } else {
    full_window.clear();
  }

  switch (mode) {
    case DomainMode::Off:
      duty = 0;
      integral = 0;
      break;
    case DomainMode::Free:
      duty = std::min(duty + kRampPerS * dt_s, 1.0);
      break;
    case DomainMode::Target:
      if (target_w && *target_w > 0.0) {
        control_step(*this, *target_w, watts, dt_s);
      } else {
        duty = 0;
      }
      break;
  }
}

void PowerRegulator::check_stale(uint64_t now) {
  if (mode == DomainMode::Off) return;
  const uint64_t reference = last_sample ? std::max(*last_sample, mode_since) : mode_since;
  if (age_ms(now, reference) >= kStaleMs) {
    duty = 0;
    stale = true;
  }
}

}  // namespace kestrune
