#include "runtime/os_random.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>
#elif defined(__linux__)
#include <sys/random.h>
#else
#include <unistd.h>  // getentropy (macOS, the BSDs)
#endif

namespace halyard {

#if !defined(_WIN32)
namespace {

// The error text of `code`, the same in every locale (strerror follows
// LC_MESSAGES): the errors these sources document, else the number.
std::string errno_text(int code) {
    switch (code) {
        case EAGAIN: return "Resource temporarily unavailable";
        case EFAULT: return "Bad address";
        case EINVAL: return "Invalid argument";
        case EIO: return "Input/output error";
        case ENOSYS: return "Function not implemented";
        case EPERM: return "Operation not permitted";
        default: break;
    }
    char digits[16];
    const auto done = std::to_chars(digits, digits + sizeof digits, code);
    return "OS error " + std::string(digits, done.ptr);
}

}  // namespace
#endif

std::optional<std::string> os_random_bytes(void* out, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(out);
#if defined(_WIN32)
    while (n > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(n, 1u << 30));
        const NTSTATUS status = BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            char hex[8];
            const auto done = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned long>(status), 16);
            return std::string("BCryptGenRandom failed with status 0x") + std::string(hex, done.ptr);
        }
        p += chunk;
        n -= chunk;
    }
#elif defined(__linux__)
    while (n > 0) {
        const auto got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno_text(errno);
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
#else
    while (n > 0) {
        const size_t chunk = std::min<size_t>(n, 256);  // getentropy's limit per call
        if (getentropy(p, chunk) != 0) return errno_text(errno);
        p += chunk;
        n -= chunk;
    }
#endif
    return std::nullopt;
}

}  // namespace halyard
