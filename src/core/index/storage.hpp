// Storage helpers of the vector indexes.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

namespace halyard {

// Allocator that aligns vector storage to a cache line, so that rows of
// 16-float multiples start on full SIMD words.
template <class T>
struct CacheAligned {
    using value_type = T;
    static constexpr std::align_val_t kAlign{64};

    CacheAligned() = default;
    template <class U>
    CacheAligned(const CacheAligned<U>&) noexcept {}

    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
    void deallocate(T* p, size_t) noexcept { ::operator delete(p, kAlign); }

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
