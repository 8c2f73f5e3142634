#include "runtime/hash.hpp"

#include <random>

namespace halyard {

namespace {
uint64_t initial_state() {
    std::random_device source;
    return (static_cast<uint64_t>(source()) << 32) ^ source();
}
}  // namespace

uint64_t next_hash_seed() noexcept {
    static std::atomic<uint64_t> state{initial_state()};
    return mix64(state.fetch_add(0x9e3779b97f4a7c15ULL, std::memory_order_relaxed));
}

}  // namespace halyard
