#include "util/rounding.h"

#include <cmath>

namespace kestrune {

namespace {
constexpr double kPowersOfTen[] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};
}  // namespace

double round_to_places(double value, int places) {
  if (!std::isfinite(value)) return 0.0;
  if (places < 0) places = 0;
  if (places > 6) places = 6;
  const double scale = kPowersOfTen[places];
  const double scaled = value * scale;
  // Beyond 2^53 a double holds no fraction; scaling such a value could overflow to inf.
  if (!std::isfinite(scaled)) return value;
  return std::round(scaled) / scale;
}

double round1(double value) { return round_to_places(value, 1); }

double round3(double value) { return round_to_places(value, 3); }

std::optional<double> round_optional(std::optional<double> value, int places) {
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return round_to_places(*value, places);
}

}  // namespace kestrune
