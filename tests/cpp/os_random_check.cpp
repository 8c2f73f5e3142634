// Native check of the operating system's random source (getrandom,
// getentropy or BCryptGenRandom, whichever this platform uses). Prints "ok"
// and exits 0 when every check passes.
#include <cstdio>
#include <cstring>

#include "runtime/os_random.hpp"

int main() {
    int failures = 0;
    unsigned char a[300], b[300];  // more than one getentropy call's limit
    std::memset(a, 0, sizeof a);
    std::memset(b, 0, sizeof b);
    const auto fa = halyard::os_random_bytes(a, sizeof a);
    const auto fb = halyard::os_random_bytes(b, sizeof b);
    if (fa || fb) {
        std::printf("FAILED: the source reported: %s\n", (fa ? *fa : *fb).c_str());
        ++failures;
    }
    // Two draws of 2400 bits agree, or the tail stays zero, by chance never.
    if (std::memcmp(a, b, sizeof a) == 0) {
        std::puts("FAILED: two draws are equal");
        ++failures;
    }
    static const unsigned char zeros[44] = {};
    if (std::memcmp(a + 256, zeros, sizeof zeros) == 0) {
        std::puts("FAILED: bytes past the first 256 were not filled");
        ++failures;
    }
    if (halyard::os_random_bytes(a, 0)) {
        std::puts("FAILED: an empty request failed");
        ++failures;
    }
    if (failures) return 1;
    std::puts("ok");
    return 0;
}
