// Native checks of the query cache's storing side (insert and lookup exist only
// in the core). Prints "ok" and exits 0 when every check passes.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "cache/query_cache.hpp"

using halyard::CachedResult;
using halyard::CacheKey;
using halyard::QueryCache;

namespace {

int failures = 0;

void check(bool ok, const char* what, int line) {
    if (!ok) {
        std::printf("FAILED line %d: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

CacheKey key(uint64_t n) { return CacheKey{{n, n * 3, ~n, 42}}; }
std::vector<CachedResult> hit(const char* id) { return {CachedResult{id, 0.5f, 0.75f}}; }

void hits_and_misses() {
    QueryCache c(10, 300);
    c.insert(key(1), hit("a"), std::vector<std::string>{"text"});
    for (int i = 0; i < 3; ++i) CHECK(c.lookup(key(1)).has_value());
    CHECK(!c.lookup(key(2)).has_value());
    auto entry = c.lookup(key(1));
    CHECK(entry && entry->results.size() == 1 && entry->results[0].id == "a" && entry->texts->at(0) == "text");
    auto s = c.stats();
    CHECK(s.hits == 4 && s.misses == 1 && s.entries == 1);
    QueryCache d(10, 300);
    for (int i = 0; i < 3; ++i) d.insert(key(i), hit("x"));
    for (int i = 0; i < 4; ++i) d.lookup(key(i));  // 3 hits, 1 miss
    s = d.stats();
    CHECK(s.hits == 3 && s.misses == 1 && s.hit_ratio() == 0.75 && s.hit_percentage() == 75.0);
    // Keys differing in any one word are different keys.
    for (int w = 0; w < 4; ++w) {
        CacheKey k = key(1);
        k.words[w] ^= 1;
        CHECK(!c.lookup(k).has_value());
    }
}

void eviction_keeps_order_in_step() {
    QueryCache c(3, 300);
    for (uint64_t i = 0; i < 5; ++i) c.insert(key(i), hit("x"));
    CHECK(c.len() == 3 && c.stats().evictions == 2);
    CHECK(!c.lookup(key(0)) && !c.lookup(key(1)) && c.lookup(key(2)) && c.lookup(key(4)));
    c.insert(key(2), hit("refreshed"));  // replacing moves the key to the back, evicts nothing
    CHECK(c.len() == 3 && c.stats().evictions == 2 && c.order_matches_entries());
    c.insert(key(5), hit("x"));  // evicts key 3, the oldest now
    CHECK(!c.lookup(key(3)) && c.lookup(key(2))->results[0].id == "refreshed" && c.stats().evictions == 3);
    CHECK(c.remove(key(4)).has_value() && !c.remove(key(4)).has_value());
    CHECK(c.len() == 2 && c.order_matches_entries());
    c.clear();
    CHECK(c.is_empty() && c.order_matches_entries() && c.stats().evictions == 3 && c.stats().hits > 0);
    QueryCache none(0, 300);
    none.insert(key(1), hit("x"));
    CHECK(none.is_empty() && none.stats().evictions == 0);
}

void expiry_counts_each_entry_once() {
    QueryCache c(10, 0);
    c.insert(key(1), hit("x"));
    c.insert(key(2), hit("y"));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CHECK(!c.lookup(key(1)).has_value());  // expired: a miss, removed only by the clean-up
    CHECK(c.len() == 2);
    c.cleanup_expired();
    CHECK(c.is_empty() && c.stats().expirations == 2 && c.order_matches_entries());
    c.cleanup_expired();
    CHECK(c.stats().expirations == 2);
    QueryCache forever(10, UINT64_MAX);
    forever.insert(key(1), hit("x"));
    forever.cleanup_expired();
    CHECK(forever.len() == 1 && forever.lookup(key(1)).has_value());
}

void threads_share_one_cache() {
    QueryCache c(64, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&c, t] {
            for (uint64_t i = 0; i < 3000; ++i) {
                const uint64_t k = (i * 7 + static_cast<uint64_t>(t)) % 200;
                switch ((i + static_cast<uint64_t>(t)) % 6) {
                    case 0: case 1: c.insert(key(k), hit("x")); break;
                    case 2: c.lookup(key(k)); break;
                    case 3: c.cleanup_expired(); break;
                    case 4: c.remove(key(k)); break;
                    default: if (i % 500 == 0) c.clear(); else (void)c.stats(); break;
                }
            }
        });
    }
    for (auto& w : workers) w.join();
    CHECK(c.order_matches_entries() && c.len() <= 64);
    auto s = c.stats();
    CHECK(s.hits + s.misses == 4 * 500);
    QueryCache moved(std::move(c));
    CHECK(moved.order_matches_entries() && moved.stats().hits == s.hits && c.is_empty());
}

}  // namespace

int main() {
    hits_and_misses();
    eviction_keeps_order_in_step();
    expiry_counts_each_entry_once();
    threads_share_one_cache();
    if (failures) return 1;
    std::puts("ok");
    return 0;
}
