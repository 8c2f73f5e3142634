// Number formatting for representations (no Python here).
#pragma once

#include <string>

namespace halyard::bind {

// Fixed-point with exactly `decimals` digits, rounded to nearest (ties to
// even) on the exact binary value, as printf does.
std::string fixed(double value, int decimals);

// Shortest text that reads back to the same value, in positional notation,
// without exponent and without a trailing ".0" (1.0 -> "1", 1e20 -> "100000000000000000000").
std::string shortest(float value);
std::string shortest(double value);

}  // namespace halyard::bind
