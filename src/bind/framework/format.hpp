// Number formatting for representations and messages (no Python here).
//
// Every text the module writes goes through these helpers, which never look
// at the C locale: the decimal mark is always a point.
#pragma once

#include <string>

namespace halyard::bind {

// Fixed-point with exactly `decimals` digits after the point, rounded to
// nearest (ties to even) on the exact binary value: the text printf's "%.*f"
// gives in the C locale, whatever the process locale is.
std::string fixed(double value, int decimals);

}  // namespace halyard::bind
