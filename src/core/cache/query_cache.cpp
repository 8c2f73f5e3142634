#include "cache/query_cache.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace halyard {

double CacheStats::hit_ratio() const noexcept {
    const double total = static_cast<double>(hits) + static_cast<double>(misses);
    return total == 0.0 ? 0.0 : static_cast<double>(hits) / total;
}

double CacheStats::hit_percentage() const noexcept {
    const double total = static_cast<double>(hits) + static_cast<double>(misses);
    return total == 0.0 ? 0.0 : 100.0 * static_cast<double>(hits) / total;
}

QueryCache::QueryCache(uint64_t max_entries, uint64_t ttl_seconds)
    : max_entries_(max_entries), ttl_seconds_(ttl_seconds) {}

QueryCache::QueryCache(QueryCache&& other) : max_entries_(other.max_entries_), ttl_seconds_(other.ttl_seconds_) {
    std::unique_lock entries_guard(other.entries_lock_);
    std::unique_lock order_guard(other.order_lock_);
    entries_ = std::move(other.entries_);
    order_ = std::move(other.order_);
    other.entries_.clear();
    other.order_.clear();
    hits_ = other.hits_.load();
    misses_ = other.misses_.load();
    evictions_ = other.evictions_.load();
    expirations_ = other.expirations_.load();
}

bool QueryCache::expired(const CacheEntry& entry, MonotonicClock::time_point now) const noexcept {
    const auto age = now - entry.stored_at;
    // A time-to-live beyond the clock's range never runs out.
    constexpr uint64_t kMaxSeconds =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(MonotonicClock::duration::max()).count());
    if (ttl_seconds_ >= kMaxSeconds) return false;
    return age > std::chrono::seconds(static_cast<int64_t>(ttl_seconds_));
}

size_t QueryCache::len() const {
    std::shared_lock guard(entries_lock_);
    return entries_.size();
}

bool QueryCache::is_empty() const {
    std::shared_lock guard(entries_lock_);
    return entries_.empty();
}

CacheStats QueryCache::stats() const {
    std::shared_lock guard(entries_lock_);
    return CacheStats{hits_.load(), misses_.load(), static_cast<uint64_t>(entries_.size()), evictions_.load(),
                      expirations_.load()};
}

void QueryCache::clear() {
    std::unique_lock entries_guard(entries_lock_);
    std::unique_lock order_guard(order_lock_);
    entries_.clear();
    order_.clear();
}

void QueryCache::forget_order(const CacheKey& key) {
    auto it = std::find(order_.begin(), order_.end(), key);
    if (it != order_.end()) order_.erase(it);
}

std::optional<CacheEntry> QueryCache::remove(const CacheKey& key) {
    std::unique_lock entries_guard(entries_lock_);
    std::unique_lock order_guard(order_lock_);
    forget_order(key);
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    auto node = entries_.extract(it);
    return std::optional<CacheEntry>(std::move(node.mapped()));
}

void QueryCache::cleanup_expired() {
    std::vector<CacheKey> stale;
    {
        std::shared_lock guard(entries_lock_);
        const auto now = MonotonicClock::now();
        for (const auto& [key, entry] : entries_)
            if (expired(entry, now)) stale.push_back(key);
    }
    for (const CacheKey& key : stale) {
        std::unique_lock entries_guard(entries_lock_);
        std::unique_lock order_guard(order_lock_);
        // Another thread may have removed or refreshed the entry meanwhile:
        // only an entry that is still there and still expired counts.
        auto it = entries_.find(key);
        if (it == entries_.end() || !expired(it->second, MonotonicClock::now())) continue;
        forget_order(key);
        entries_.erase(it);
        expirations_.fetch_add(1, std::memory_order_relaxed);
    }
}

void QueryCache::insert(const CacheKey& key, std::vector<CachedResult> results,
                        std::optional<std::vector<std::string>> texts) {
    if (max_entries_ == 0) return;
    CacheEntry entry{std::move(results), std::move(texts), MonotonicClock::now()};
    std::unique_lock entries_guard(entries_lock_);
    std::unique_lock order_guard(order_lock_);
    auto it = entries_.find(key);
    if (it != entries_.end()) {
        it->second = std::move(entry);
        forget_order(key);
        order_.push_back(key);
        return;
    }
    while (entries_.size() >= max_entries_ && !order_.empty()) {
        entries_.erase(order_.front());
        order_.pop_front();
        evictions_.fetch_add(1, std::memory_order_relaxed);
    }
    entries_.emplace(key, std::move(entry));
    order_.push_back(key);
}

std::optional<CacheEntry> QueryCache::lookup(const CacheKey& key) const {
    std::shared_lock guard(entries_lock_);
    auto it = entries_.find(key);
    if (it == entries_.end() || expired(it->second, MonotonicClock::now())) {
        misses_.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    }
    hits_.fetch_add(1, std::memory_order_relaxed);
    return it->second;
}

bool QueryCache::order_matches_entries() const {
    std::shared_lock entries_guard(entries_lock_);
    std::shared_lock order_guard(order_lock_);
    if (order_.size() != entries_.size()) return false;
    std::unordered_map<CacheKey, int, CacheKeyHash> seen;
    for (const CacheKey& key : order_)
        if (!entries_.contains(key) || ++seen[key] > 1) return false;
    return true;
}

}  // namespace halyard
