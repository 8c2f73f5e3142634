// Memory records (an embedding with its context, outcome and running outcome
// statistics) and the in-memory store that keeps them by id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/hash.hpp"
#include "stats/outcome_stats.hpp"

namespace halyard {

// A metadata value: text, signed 64-bit integer, 64-bit float or boolean.
using MetadataValue = std::variant<std::string, int64_t, double, bool>;

// Metadata of one record: distinct text keys, in no defined order. Kept as a
// flat list, so a record without metadata allocates nothing for it.
class Metadata {
public:
    using Entry = std::pair<std::string, MetadataValue>;

    // Sets `key` to `value`, replacing an earlier value of the same key.
    void set(std::string key, MetadataValue value);
    const MetadataValue* find(std::string_view key) const;
    size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const std::vector<Entry>& entries() const noexcept { return entries_; }

private:
    std::vector<Entry> entries_;
};

struct MemoryRecord {
    std::string id;
    std::vector<float> embedding;
    std::string context;
    Metadata metadata;
    OutcomeStats stats{1};  // outcomes fed in later through the store
    double outcome = 0.0;   // the outcome given at creation; not part of `stats`
    uint64_t created_at = 0;

    // A new record stamped with the current wall-clock time, with fresh statistics.
    static MemoryRecord create(std::string id, std::vector<float> embedding, std::string context, double outcome,
                               Metadata metadata);

    size_t dim() const noexcept { return embedding.size(); }

    // Estimated bytes: id + context + 4 per component + 64 per metadata entry + 248.
    uint64_t memory_estimate() const noexcept;
};

class InMemoryStore {
public:
    // Stores a copy; a stored id fails with CoreError DuplicateRecord and changes nothing.
    void insert(const MemoryRecord& record);
    void insert(MemoryRecord&& record);

    const MemoryRecord* find(std::string_view id) const;
    std::optional<MemoryRecord> get(std::string_view id) const;

    // Feeds [outcome] into the stored record's statistics; an unknown id fails
    // with CoreError RecordNotFound. The record's `outcome` stays as it was.
    void update_stats(std::string_view id, float outcome);

    bool remove(std::string_view id);
    bool contains(std::string_view id) const { return find(id) != nullptr; }
    std::vector<std::string> ids() const;
    size_t len() const noexcept { return records_.size(); }
    bool is_empty() const noexcept { return records_.empty(); }
    uint64_t memory_bytes() const noexcept { return memory_bytes_; }

private:
    // Records are keyed by their own id, so the id is held once.
    struct IdHash {
        using is_transparent = void;
        SeededHash<std::string> inner;
        size_t operator()(std::string_view id) const noexcept { return inner(id); }
        size_t operator()(const MemoryRecord& r) const noexcept { return inner(r.id); }
    };
    struct IdEq {
        using is_transparent = void;
        static std::string_view key(std::string_view id) noexcept { return id; }
        static std::string_view key(const MemoryRecord& r) noexcept { return r.id; }
        template <class A, class B>
        bool operator()(const A& a, const B& b) const noexcept {
            return key(a) == key(b);
        }
    };
    using Records = std::unordered_set<MemoryRecord, IdHash, IdEq>;

    template <class R>
    void insert_impl(R&& record);

    Records records_;
    uint64_t memory_bytes_ = 0;
};

}  // namespace halyard
