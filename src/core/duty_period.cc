#include "core/duty_period.h"

namespace kestrune {

uint64_t phase_offset_ns(uint32_t index, uint32_t count) {
  const uint64_t m = count == 0 ? 1 : count;
  return (index % m) * kDutyPeriodNs / m;
}

PeriodWindow period_window(uint64_t now_ns, uint64_t offset_ns) {
  // offset < P, so neither sum can go below zero.
  const uint64_t pos = (now_ns + kDutyPeriodNs - offset_ns % kDutyPeriodNs) % kDutyPeriodNs;
  return {pos, now_ns + kDutyPeriodNs - pos};
}

uint64_t on_window_ns(uint32_t duty_e4) {
  static_assert(kDutyPeriodNs % 10'000 == 0, "a duty step must be a whole number of ns");
  if (duty_e4 >= 10'000) return kDutyPeriodNs;
  return uint64_t{duty_e4} * (kDutyPeriodNs / 10'000);
}

DutySlice choose_slice(uint64_t now_ns, uint64_t offset_ns, uint32_t duty_e4) {
  const PeriodWindow w = period_window(now_ns, offset_ns);
  if (duty_e4 == 0) return {false, w.period_end};
  const uint64_t on = on_window_ns(duty_e4);
  if (on >= kDutyPeriodNs) return {true, w.period_end};
  // period start + on, written so that no intermediate goes below zero.
  if (w.pos < on) return {true, now_ns + (on - w.pos)};
  return {false, w.period_end};
}

DutySlice choose_slice_after_wait(uint64_t now_ns, uint64_t offset_ns, uint32_t duty_e4,
                                  uint64_t aimed_ns) {
  if (now_ns < aimed_ns) return {false, aimed_ns};
  const PeriodWindow w = period_window(now_ns, offset_ns);
  if (duty_e4 == 0) return {false, w.period_end};
  const uint64_t on = on_window_ns(duty_e4);
  if (on >= kDutyPeriodNs) return {true, w.period_end};
  // No burn has happened since the boundary (or, after a very late wake, in this period).
  return {true, w.pos < on ? now_ns + (on - w.pos) : now_ns};
}

}  // namespace kestrune
