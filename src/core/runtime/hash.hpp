// Hash maps seeded randomly per instance.
//
// Every default-constructed SeededHash draws a fresh seed, so two maps never
// share an iteration order; nothing may depend on that order unless it sorts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

namespace halyard {

// Next per-instance seed: a process-wide splitmix64 stream whose starting
// point comes from the operating system's random source.
uint64_t next_hash_seed() noexcept;

inline uint64_t mix64(uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

template <class K>
struct SeededHash {
    uint64_t seed = next_hash_seed();

    using is_transparent = void;  // lets string maps be probed with string_view

    size_t operator()(const K& key) const noexcept
        requires(std::is_integral_v<K> || std::is_enum_v<K>)
    {
        return static_cast<size_t>(mix64(static_cast<uint64_t>(key) ^ seed));
    }
    size_t operator()(std::string_view key) const noexcept
        requires std::is_same_v<K, std::string>
    {
        return static_cast<size_t>(mix64(std::hash<std::string_view>{}(key) ^ seed));
    }
};

struct StringEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

template <class K>
using KeyEq = std::conditional_t<std::is_same_v<K, std::string>, StringEq, std::equal_to<K>>;

template <class K, class V>
using HashMap = std::unordered_map<K, V, SeededHash<K>, KeyEq<K>>;

template <class K>
using HashSet = std::unordered_set<K, SeededHash<K>, KeyEq<K>>;

}  // namespace halyard
