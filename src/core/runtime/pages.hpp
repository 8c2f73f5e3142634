// Memory blocks for large arrays, and the operating system's huge pages.
#pragma once

#include <cstddef>

namespace halyard::pages {

// The size of a huge page where the system has them (2 MiB on x86-64 and
// most aarch64 Linux kernels); blocks of a multiple of it, aligned to it, can
// be backed by huge pages.
constexpr size_t kHuge = size_t{2} << 20;

// An uninitialised block of `bytes`, aligned to kHuge when it is at least
// that large (else to a cache line). The operating system backs only the
// pages that are written. Throws std::bad_alloc.
void* allocate(size_t bytes);
void release(void* p, size_t bytes) noexcept;

// Asks for [p, p + bytes), a block from allocate() whose contents will stay,
// to be backed by huge pages now: fewer TLB misses when it is read in random
// order. Only whole huge pages are affected; a request the system refuses
// changes nothing.
void settle(void* p, size_t bytes) noexcept;

}  // namespace halyard::pages
