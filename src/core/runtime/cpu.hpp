// What the running processor supports, for choosing vector kernels at run
// time, and the compiler-specific spellings those kernels need.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace halyard::cpu {

// x86 instruction-set extensions usable by this process: present in the
// processor and with their register state enabled by the operating system.
// All false on other architectures (aarch64 has NEON as its baseline).
struct Features {
    bool avx2 = false;
    bool fma = false;
    bool avx512f = false;
    bool avx512vl = false;
};

namespace detail {

inline Features detect() noexcept {
    Features f;
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    // The compiler runtime checks both the processor and the register state
    // the operating system saves.
    __builtin_cpu_init();
    f.avx2 = __builtin_cpu_supports("avx2") != 0;
    f.fma = __builtin_cpu_supports("fma") != 0;
    f.avx512f = __builtin_cpu_supports("avx512f") != 0;
    f.avx512vl = __builtin_cpu_supports("avx512vl") != 0;
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    int r[4];
    __cpuid(r, 0);
    const int max_leaf = r[0];
    __cpuid(r, 1);
    const bool osxsave = (r[2] >> 27) & 1, avx = (r[2] >> 28) & 1, fma = (r[2] >> 12) & 1;
    if (!osxsave || !avx || max_leaf < 7) return f;
    const unsigned long long xcr0 = _xgetbv(0);
    const bool ymm_state = (xcr0 & 0x6) == 0x6;    // SSE and AVX registers
    const bool zmm_state = (xcr0 & 0xe6) == 0xe6;  // and the AVX-512 opmask and upper registers
    __cpuidex(r, 7, 0);
    const unsigned ebx = static_cast<unsigned>(r[1]);
    f.avx2 = ymm_state && ((ebx >> 5) & 1);
    f.fma = ymm_state && fma;
    f.avx512f = zmm_state && ((ebx >> 16) & 1);
    f.avx512vl = zmm_state && ((ebx >> 31) & 1);
#endif
    return f;
}

}  // namespace detail

// Detected on first use.
inline const Features& features() noexcept {
    static const Features detected = detail::detect();
    return detected;
}

// A hint that the cache line at p will be read soon.
inline void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __prefetch(p);
#else
    (void)p;
#endif
}

}  // namespace halyard::cpu

// A function compiled for a wider instruction set than the build's baseline
// (GCC and Clang need the target named; MSVC accepts any intrinsic anywhere).
// Such a function may only run after features() has confirmed the set.
#if defined(__GNUC__) || defined(__clang__)
#define HALYARD_TARGET(isa) __attribute__((target(isa)))
#define HALYARD_UNROLL_16 _Pragma("GCC unroll 16")
#define HALYARD_NOINLINE __attribute__((noinline))
// Placed after a lambda's parameter list: the lambda is inlined where it is
// called (a hot loop body that is called from more than one place).
#define HALYARD_INLINE_LAMBDA __attribute__((always_inline))
#else
#define HALYARD_TARGET(isa)
#define HALYARD_UNROLL_16
#define HALYARD_NOINLINE __declspec(noinline)
#define HALYARD_INLINE_LAMBDA
#endif
