// Random bytes from the operating system: getrandom on Linux, getentropy on
// macOS and the BSDs, BCryptGenRandom on Windows.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace halyard {

// Fills out[0, n) with random bytes. Returns nothing on success, else the
// source's error text (the buffer's contents are then unspecified).
std::optional<std::string> os_random_bytes(void* out, size_t n);

}  // namespace halyard
