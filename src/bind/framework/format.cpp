#include "framework/format.hpp"

#include <charconv>
#include <system_error>

#include "common/errors.hpp"

namespace halyard::bind {

std::string fixed(double value, int decimals) {
    // Sign, up to 309 integral digits of a finite double, the point and the
    // decimals; "-inf" and "-nan" are shorter.
    std::string out(static_cast<size_t>(decimals > 0 ? decimals : 0) + 320, '\0');
    const auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) throw InternalFailure("fixed-point text does not fit its buffer");
    out.resize(static_cast<size_t>(end - out.data()));
    return out;
}

}  // namespace halyard::bind
