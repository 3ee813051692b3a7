#pragma once

// The number text the heartbeat has always carried for a double: Grisu2 digits (they
// read back as the same double and are the shortest such digits for nearly every value),
// plain with at least one fractional digit ("2.0", "0.0001") from 1e-5 up to 1e15, with
// a signed exponent of two or three digits ("1e+15", "1.5e-05") outside. The heartbeat's
// bytes must not change, so this stays apart from JSONValue(double), which writes the
// shorter to_chars form ("2", "1e-05") everywhere else. Stateless.

#include <string>

#include "util/json_value.h"

namespace vela::JSONDouble {

// NaN and infinities have no JSON form and become null.
JSONValue value(double d);

// REQUIRES: d is finite.
std::string text(double d);

}  // namespace vela::JSONDouble
