#include "framework/format.hpp"

#include <cstdio>

namespace halyard::bind {

std::string fixed(double value, int decimals) {
    char buf[512];
    const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    if (n >= 0 && static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), "%.*f", decimals, value);
    out.resize(static_cast<size_t>(n));
    return out;
}


}  // namespace halyard::bind
