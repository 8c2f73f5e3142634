// A time-limited cache of query results with hit, miss, eviction and
// expiration accounting, safe to share between threads.
//
// Locking: `entries` and `order` each have a reader-writer lock. Whoever needs
// both takes the entries lock first, then the order lock, never the other way
// round. Counters are atomics updated without holding a lock.
//
// Invariant: `order` holds exactly the keys of the stored entries, oldest
// first; when the cache is full the oldest entry is evicted.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/clock.hpp"
#include "runtime/hash.hpp"

namespace halyard {

// A 32-byte key, compared and hashed as four 64-bit words.
struct CacheKey {
    std::array<uint64_t, 4> words{};
    bool operator==(const CacheKey&) const = default;
};

// Hashes the four words of a key with a per-instance random seed.
struct CacheKeyHash {
    uint64_t seed = next_hash_seed();
    size_t operator()(const CacheKey& k) const noexcept {
        uint64_t h = seed;
        for (uint64_t w : k.words) h = mix64(h ^ w) + 0x9e3779b97f4a7c15ULL;
        return static_cast<size_t>(h);
    }
};

// One cached hit of a query.
struct CachedResult {
    std::string id;
    float distance = 0.0f;
    float score = 0.0f;
};

struct CacheEntry {
    std::vector<CachedResult> results;
    std::optional<std::vector<std::string>> texts;
    MonotonicClock::time_point stored_at{};
};

// A snapshot of the counters and the number of stored entries.
struct CacheStats {
    uint64_t hits = 0;
    uint64_t misses = 0;
    uint64_t entries = 0;
    uint64_t evictions = 0;
    uint64_t expirations = 0;

    // hits / (hits + misses), 0 when both are 0.
    double hit_ratio() const noexcept;
    // 100 * hits / (hits + misses), 0 when both are 0.
    double hit_percentage() const noexcept;
};

class QueryCache {
public:
    explicit QueryCache(uint64_t max_entries = 10000, uint64_t ttl_seconds = 300);
    // Takes over another cache's contents (under its locks) and counters.
    QueryCache(QueryCache&& other);
    QueryCache(const QueryCache&) = delete;
    QueryCache& operator=(const QueryCache&) = delete;
    QueryCache& operator=(QueryCache&&) = delete;

    uint64_t max_entries() const noexcept { return max_entries_; }
    uint64_t ttl_seconds() const noexcept { return ttl_seconds_; }

    size_t len() const;
    bool is_empty() const;
    CacheStats stats() const;

    // Empties the cache; the counters keep their values.
    void clear();
    // Removes every entry older than the time-to-live, counting each in `expirations`.
    void cleanup_expired();
    // Removes one key's entry and hands it back.
    std::optional<CacheEntry> remove(const CacheKey& key);

    // Stores (or replaces) the entry of `key`, stamped now. When the cache is
    // full, the oldest entries are evicted first, each counted in `evictions`.
    // A cache configured for 0 entries stores nothing.
    void insert(const CacheKey& key, std::vector<CachedResult> results,
                std::optional<std::vector<std::string>> texts = std::nullopt);
    // A copy of the fresh entry of `key` (a hit), or none (a miss: absent or
    // expired; an expired entry stays until the next clean-up).
    std::optional<CacheEntry> lookup(const CacheKey& key) const;

    // Whether `order` holds exactly the keys of the stored entries, each once.
    bool order_matches_entries() const;

private:
    bool expired(const CacheEntry& entry, MonotonicClock::time_point now) const noexcept;
    // Drops the first occurrence of `key` from `order`; the order lock must be held.
    void forget_order(const CacheKey& key);

    uint64_t max_entries_;
    uint64_t ttl_seconds_;

    mutable std::shared_mutex entries_lock_;  // always taken before order_lock_
    std::unordered_map<CacheKey, CacheEntry, CacheKeyHash> entries_;
    mutable std::shared_mutex order_lock_;
    std::deque<CacheKey> order_;

    mutable std::atomic<uint64_t> hits_{0};
    mutable std::atomic<uint64_t> misses_{0};
    std::atomic<uint64_t> evictions_{0};
    std::atomic<uint64_t> expirations_{0};
};

}  // namespace halyard
