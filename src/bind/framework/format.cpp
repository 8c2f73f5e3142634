#include "framework/format.hpp"

#include <charconv>
#include <cmath>
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

namespace {
template <class T>
std::string shortest_impl(T value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}
}  // namespace

std::string shortest(float value) { return shortest_impl(value); }
std::string shortest(double value) { return shortest_impl(value); }

}  // namespace halyard::bind
