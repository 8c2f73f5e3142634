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

size_t InMemoryStore::find_slot(std::string_view id, uint64_t h) const noexcept {
    const size_t n = slots_.size();
    if (n == 0) return 0;
    const size_t mask = n - 1;
    const uint64_t tag = tag_of(h);
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
        const uint64_t slot = slots_[i];
        if (slot == kEmpty) return n;
        if ((slot >> 32) == tag && records_[position_of(slot)].id == id) return i;
    }
}

size_t InMemoryStore::slot_of_position(size_t position) const noexcept {
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash(records_[position].id)) & mask;; i = (i + 1) & mask)
        if (slots_[i] != kEmpty && position_of(slots_[i]) == position) return i;
}

void InMemoryStore::place(uint64_t h, size_t position) noexcept {
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(h) & mask;
    while (slots_[i] != kEmpty) i = (i + 1) & mask;
    slots_[i] = pack(h, position);
}

void InMemoryStore::erase_slot(size_t hole) noexcept {
    // Backward-shift deletion: pull later members of the probe run into the
    // hole whenever their home slot does not lie between the hole and them.
    const size_t mask = slots_.size() - 1;
    size_t i = hole;
    for (size_t j = (i + 1) & mask; slots_[j] != kEmpty; j = (j + 1) & mask) {
        const size_t home = static_cast<size_t>(hash(records_[position_of(slots_[j])].id)) & mask;
        const bool stays = (i <= j) ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        slots_[i] = slots_[j];
        i = j;
    }
    slots_[i] = kEmpty;
}

void InMemoryStore::grow_if_needed() {
    const size_t wanted = records_.size() + 1;
    if (wanted <= 0xfffffffeULL && slots_.size() >= 16 && wanted * 4 <= slots_.size() * 3) return;
    if (wanted > 0xfffffffeULL) throw CoreError::capacity_exceeded(records_.size(), 0xfffffffeULL);
    size_t n = slots_.empty() ? 16 : slots_.size();
    while (wanted * 4 > n * 3) n *= 2;
    if (n == slots_.size()) return;
    std::vector<uint64_t> fresh(n, kEmpty);
    slots_.swap(fresh);
    for (size_t p = 0; p < records_.size(); ++p) place(hash(records_[p].id), p);
}

template <class R>
void InMemoryStore::insert_impl(R&& record) {
    const uint64_t h = hash(record.id);
    if (find_slot(record.id, h) < slots_.size()) throw CoreError::duplicate_record(record.id);
    const uint64_t estimate = record.memory_estimate();
    grow_if_needed();
    records_.push_back(std::forward<R>(record));
    place(h, records_.size() - 1);
    const uint64_t room = std::numeric_limits<uint64_t>::max() - memory_bytes_;
    memory_bytes_ += estimate < room ? estimate : room;
}

void InMemoryStore::insert(const MemoryRecord& record) { insert_impl(record); }
void InMemoryStore::insert(MemoryRecord&& record) { insert_impl(std::move(record)); }

const MemoryRecord* InMemoryStore::find(std::string_view id) const {
    const size_t slot = find_slot(id, hash(id));
    return slot < slots_.size() ? &records_[position_of(slots_[slot])] : nullptr;
}

std::optional<MemoryRecord> InMemoryStore::get(std::string_view id) const {
    const MemoryRecord* r = find(id);
    if (!r) return std::nullopt;
    return *r;
}

void InMemoryStore::update_stats(std::string_view id, float outcome) {
    const size_t slot = find_slot(id, hash(id));
    if (slot >= slots_.size()) throw CoreError::record_not_found(id);
    records_[position_of(slots_[slot])].stats.update_scalar(outcome);
}

bool InMemoryStore::remove(std::string_view id) {
    const size_t slot = find_slot(id, hash(id));
    if (slot >= slots_.size()) return false;
    const size_t position = position_of(slots_[slot]);
    const uint64_t estimate = records_[position].memory_estimate();
    erase_slot(slot);
    const size_t last = records_.size() - 1;
    if (position != last) {
        const size_t moved = slot_of_position(last);
        records_[position] = std::move(records_[last]);
        slots_[moved] = pack(hash(records_[position].id), position);
    }
    records_.pop_back();
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
