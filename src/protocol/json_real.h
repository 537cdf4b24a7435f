#pragma once
// Text of a double the way this program writes reals.

#include <string>

namespace kestrune::json {

/// Shortest decimal text that reads back as the same finite double: plain notation with at
/// least one digit after the point for magnitudes from 1e-5 up to below 1e16 ("0.5",
/// "120.0", "0.0", "-0.0"), otherwise exponent notation with a lower-case "e" and no plus
/// sign ("1e16", "2.5e-7", "-1.25e-300"). Not for infinities or NaN: the caller decides
/// what those become.
std::string format_finite_real(double x);

}  // namespace kestrune::json
