#include "trajectory/ring.hpp"

#include <algorithm>
#include <new>

namespace halyard {

namespace {
// Reserving is only an optimisation; a huge request must not fail the call.
constexpr uint64_t kMaxReserve = uint64_t{1} << 16;
}  // namespace

Ring Ring::with_capacity(uint64_t capacity) {
    Ring ring;
    ring.elements_.reserve(static_cast<size_t>(std::min(capacity, kMaxReserve)));
    return ring;
}

const RingElement* Ring::get(uint64_t idx) const {
    if (elements_.empty()) return nullptr;
    return &elements_[idx % elements_.size()];
}

uint64_t Ring::ring_distance(uint64_t a, uint64_t b) const {
    const uint64_t n = elements_.size();
    if (n == 0) return 0;
    const uint64_t ra = a % n, rb = b % n;
    const uint64_t d1 = (ra + n - rb) % n;
    const uint64_t d2 = (rb + n - ra) % n;
    return std::min(d1, d2);
}

uint64_t Ring::next_idx(uint64_t idx) const {
    const uint64_t n = elements_.size();
    if (n == 0) return 0;
    return (idx % n + 1) % n;  // (idx + 1) mod n without overflow at 2^64 - 1
}

uint64_t Ring::prev_idx(uint64_t idx) const {
    const uint64_t n = elements_.size();
    if (n == 0) return 0;
    return idx == 0 ? n - 1 : idx - 1;
}

std::vector<uint64_t> Ring::neighbor_indices(uint64_t idx, uint64_t radius) const {
    const uint64_t n = elements_.size();
    std::vector<uint64_t> out;
    if (n == 0 || radius == 0) return out;
    // Exact size up front: a step yields one entry when 2*i is a multiple of n.
    // An impossible size fails as an exhausted allocation before any work.
    if (radius > out.max_size() / 2) throw std::bad_alloc();
    const uint64_t period = (n % 2 == 0) ? n / 2 : n;
    out.reserve(static_cast<size_t>(2 * radius - radius / period));
    const uint64_t h = idx % n;
    for (uint64_t i = 1; i <= radius; ++i) {
        const uint64_t s = i % n;
        const uint64_t p = h >= s ? h - s : h + (n - s);
        const uint64_t q = (h + s) % n;
        out.push_back(p);
        if (p != q) out.push_back(q);
    }
    return out;
}

}  // namespace halyard
