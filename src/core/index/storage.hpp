// Storage helpers of the vector indexes.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace halyard {

// Allocator for vector rows: cache-line aligned, so rows of 16-float
// multiples start on full SIMD words. Large blocks are aligned to 2 MiB and
// offered to the kernel for transparent huge pages, which spares a full scan
// most of its TLB misses.
template <class T>
struct CacheAligned {
    using value_type = T;
    static constexpr size_t kLine = 64;
    static constexpr size_t kHuge = size_t{2} << 20;
    static constexpr size_t kHugeFrom = size_t{4} << 20;

    CacheAligned() = default;
    template <class U>
    CacheAligned(const CacheAligned<U>&) noexcept {}

    static std::align_val_t alignment(size_t bytes) noexcept {
        return std::align_val_t{bytes >= kHugeFrom ? kHuge : kLine};
    }
    T* allocate(size_t n) {
        const size_t bytes = n * sizeof(T);
        void* p = ::operator new(bytes, alignment(bytes));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kHugeFrom) madvise(p, bytes & ~(kHuge - 1), MADV_HUGEPAGE);  // a hint; failure is harmless
#endif
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) noexcept { ::operator delete(p, alignment(n * sizeof(T))); }

    template <class U>
    bool operator==(const CacheAligned<U>&) const noexcept {
        return true;
    }
};

using AlignedFloats = std::vector<float, CacheAligned<float>>;

inline bool has_nan(std::span<const float> v) {
    for (float x : v)
        if (std::isnan(x)) return true;
    return false;
}

}  // namespace halyard
