// Memory records (an embedding with its context, outcome and running outcome
// statistics) and the in-memory store that keeps them by id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
    OutcomeStats stats{1};  // outcomes fed in later through the store
    std::vector<float> embedding;
    std::string context;
    Metadata metadata;
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
    // Every id, in the store's internal order (not a defined order).
    std::vector<std::string> ids() const;
    size_t len() const noexcept { return records_.size(); }
    bool is_empty() const noexcept { return records_.empty(); }
    uint64_t memory_bytes() const noexcept { return memory_bytes_; }

private:
    // Records live in one dense array; an open-addressing table (linear
    // probing, no tombstones) maps ids to positions in it. A slot packs the
    // upper 32 bits of the id's hash with the record's position + 1, and 0
    // marks an empty slot. Removal moves the last record into the hole.
    static constexpr uint64_t kEmpty = 0;

    uint64_t hash(std::string_view id) const noexcept { return hasher_(id); }
    static uint64_t tag_of(uint64_t h) noexcept { return h >> 32; }
    static uint64_t pack(uint64_t h, size_t position) noexcept { return (tag_of(h) << 32) | (position + 1); }
    static size_t position_of(uint64_t slot) noexcept { return static_cast<size_t>((slot & 0xffffffffULL) - 1); }

    // Slot holding `id`, or the slot count when absent.
    size_t find_slot(std::string_view id, uint64_t h) const noexcept;
    // Slot that points at record `position` (which must be stored).
    size_t slot_of_position(size_t position) const noexcept;
    void erase_slot(size_t slot) noexcept;
    void grow_if_needed();
    void place(uint64_t h, size_t position) noexcept;

    template <class R>
    void insert_impl(R&& record);

    SeededHash<std::string> hasher_;
    std::vector<MemoryRecord> records_;
    std::vector<uint64_t> slots_;  // size 0 or a power of two
    uint64_t memory_bytes_ = 0;
};

}  // namespace halyard
