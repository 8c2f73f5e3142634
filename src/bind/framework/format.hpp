// Number formatting for representations (no Python here).
#pragma once

#include <string>

namespace halyard::bind {

// Fixed-point with exactly `decimals` digits, rounded to nearest (ties to
// even) on the exact binary value, as printf does.
std::string fixed(double value, int decimals);

}  // namespace halyard::bind
