#pragma once
// Rounding of reported decimals: to nearest, halves away from zero.

#include <optional>

namespace kestrune {

/// `value` times 10^places, rounded to nearest with halves away from zero, divided by
/// 10^places; the product is taken in double, so 1.25 gives 1.3 at one place. A
/// non-finite value gives 0. A value too large to scale has no fraction left and is
/// returned unchanged. `places` is 0..6.
double round_to_places(double value, int places);

/// Watts, milliseconds and duty-seconds: one decimal place.
double round1(double value);

/// Duties: three decimal places.
double round3(double value);

/// For optional fields: absent or non-finite gives none, otherwise the value rounded as
/// round_to_places.
std::optional<double> round_optional(std::optional<double> value, int places);

}  // namespace kestrune
