#pragma once
// Events to their wire text: one JSON object, keys in a fixed order, no spaces.

#include <string>

#include "protocol/events.h"
#include "util/result.h"

namespace kestrune {

/// Appends `value` as a JSON number in the shortest decimal form that reads back as the
/// same double: plain notation with at least one digit after the point for
/// 1e-5 <= |value| < 1e16 ("0.5", "120.0", "-0.0"), exponent notation otherwise, with a
/// lower-case "e", no plus sign and no ".0" on a one-digit mantissa ("1e16", "2.5e-7").
/// A value that is infinite or NaN is appended as null.
void append_real(std::string& out, double value);

/// append_real into a fresh string: a finite value as json::format_finite_real writes it,
/// any other as null.
std::string real_to_json(double value);

/// The event as one line of JSON text without the line feed. Fails when the event cannot
/// be encoded: a string field that is not valid UTF-8 has no JSON form.
Result<std::string> encode_event(const Event& event);

}  // namespace kestrune
