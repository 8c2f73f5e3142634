#include "store/memory_store.hpp"

#include <limits>

#include "index/error.hpp"
#include "runtime/clock.hpp"

namespace halyard {

void Metadata::set(std::string key, MetadataValue value) {
    for (Entry& e : entries_) {
        if (e.first == key) {
            e.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(std::move(key), std::move(value));
}

const MetadataValue* Metadata::find(std::string_view key) const {
    for (const Entry& e : entries_)
        if (e.first == key) return &e.second;
    return nullptr;
}

MemoryRecord MemoryRecord::create(std::string id, std::vector<float> embedding, std::string context, double outcome,
                                  Metadata metadata) {
    MemoryRecord r;
    r.id = std::move(id);
    r.embedding = std::move(embedding);
    r.context = std::move(context);
    r.metadata = std::move(metadata);
    r.outcome = outcome;
    r.created_at = unix_now();
    return r;
}

uint64_t MemoryRecord::memory_estimate() const noexcept {
    return static_cast<uint64_t>(id.size()) + static_cast<uint64_t>(context.size()) +
           4 * static_cast<uint64_t>(embedding.size()) + 64 * static_cast<uint64_t>(metadata.size()) + 248;
}

template <class R>
void InMemoryStore::insert_impl(R&& record) {
    if (records_.find(std::string_view(record.id)) != records_.end()) throw CoreError::duplicate_record(record.id);
    const uint64_t estimate = record.memory_estimate();
    records_.insert(std::forward<R>(record));
    const uint64_t room = std::numeric_limits<uint64_t>::max() - memory_bytes_;
    memory_bytes_ += estimate < room ? estimate : room;
}

void InMemoryStore::insert(const MemoryRecord& record) { insert_impl(record); }
void InMemoryStore::insert(MemoryRecord&& record) { insert_impl(std::move(record)); }

const MemoryRecord* InMemoryStore::find(std::string_view id) const {
    auto it = records_.find(id);
    return it == records_.end() ? nullptr : &*it;
}

std::optional<MemoryRecord> InMemoryStore::get(std::string_view id) const {
    const MemoryRecord* r = find(id);
    if (!r) return std::nullopt;
    return *r;
}

void InMemoryStore::update_stats(std::string_view id, float outcome) {
    auto it = records_.find(id);
    if (it == records_.end()) throw CoreError::record_not_found(id);
    // Set elements are reachable only as const; the statistics take no part
    // in the key (the id), so changing them keeps the set consistent.
    const_cast<MemoryRecord&>(*it).stats.update_scalar(outcome);
}

bool InMemoryStore::remove(std::string_view id) {
    auto it = records_.find(id);
    if (it == records_.end()) return false;
    const uint64_t estimate = it->memory_estimate();
    records_.erase(it);
    memory_bytes_ = memory_bytes_ > estimate ? memory_bytes_ - estimate : 0;
    return true;
}

std::vector<std::string> InMemoryStore::ids() const {
    std::vector<std::string> out;
    out.reserve(records_.size());
    for (const MemoryRecord& r : records_) out.push_back(r.id);
    return out;
}

}  // namespace halyard
