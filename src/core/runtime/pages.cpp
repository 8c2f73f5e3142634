#include "runtime/pages.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
// Synchronous collapse into huge pages (Linux 6.1); C libraries older than
// the kernel may not name it. Its number is the same on x86-64 and aarch64,
// and an older kernel refuses it.
#if !defined(MADV_COLLAPSE) && (defined(__x86_64__) || defined(__aarch64__))
#define MADV_COLLAPSE 25
#endif
#endif

namespace halyard::pages {

namespace {

std::align_val_t alignment(size_t bytes) noexcept { return std::align_val_t{bytes >= kHuge ? kHuge : 64}; }

}  // namespace

void* allocate(size_t bytes) { return ::operator new(bytes, alignment(bytes)); }

void release(void* p, size_t bytes) noexcept { ::operator delete(p, alignment(bytes)); }

void settle([[maybe_unused]] void* p, [[maybe_unused]] size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const size_t whole = bytes & ~(kHuge - 1);
    if (whole == 0 || reinterpret_cast<size_t>(p) % kHuge != 0) return;
    // Marked for huge pages, then (kernels from 6.1) collapsed at once
    // instead of whenever the kernel's background scan comes by. Either
    // request may be refused: the block then stays in small pages.
    if (madvise(p, whole, MADV_HUGEPAGE) != 0) return;
#if defined(MADV_COLLAPSE)
    madvise(p, whole, MADV_COLLAPSE);
#endif
#endif
}

}  // namespace halyard::pages
