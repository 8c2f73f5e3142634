// Time sources: wall-clock Unix seconds and a monotonic clock for ages.
#pragma once

#include <chrono>
#include <cstdint>

namespace halyard {

// Whole seconds since 1970-01-01 00:00:00 UTC; 0 when the clock reads earlier.
inline uint64_t unix_now() {
    using namespace std::chrono;
    const auto secs = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return secs > 0 ? static_cast<uint64_t>(secs) : 0;
}

using MonotonicClock = std::chrono::steady_clock;

}  // namespace halyard
