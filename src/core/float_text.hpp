// Text forms of numbers embedded in error messages.
#pragma once

#include <string>

namespace tarnwick {

// The shortest decimal that reads back as the same double, never in exponent
// notation and without a fractional part for whole values: 7200.0 -> "7200",
// 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", infinities -> "inf"/"-inf".
std::string float_text(double value);

// Plain decimal notation with exactly `digits` digits after the point,
// rounded to nearest: fixed_text(1.0 / 3.0, 4) -> "0.3333".
std::string fixed_text(double value, int digits);

}  // namespace tarnwick
