// Storage helpers of the vector indexes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/hash.hpp"
#include "runtime/pages.hpp"

namespace halyard {

inline bool has_nan(std::span<const float> v) {
    for (float x : v)
        if (std::isnan(x)) return true;
    return false;
}

// Rows of `width` elements of T kept in blocks that never move: adding a row
// never copies the rows already stored, and the memory taken beyond them is
// the unwritten rest of the last block, which the operating system does not
// back until it is written. A block holds 2^shift rows, 2 MiB or more, so
// that huge pages fit it. Each huge page's worth of a block is offered for a
// huge page once rows fill it (fewer TLB misses when rows are read in random
// order, and no huge page half empty). A small array does not take a block's
// address space: its first block starts at 4 KiB and doubles up to 64 KiB,
// and only then moves, once, into a whole block.
template <class T>
class RowBlocks {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    RowBlocks() = default;
    explicit RowBlocks(size_t width) : width_(width) {
        // The smallest block of 2 MiB or more that is a whole number of huge
        // pages, or nearly (at least 8 MiB).
        const size_t row_bytes = std::max<size_t>(1, width * sizeof(T));
        while ((row_bytes << shift_) < pages::kHuge ||
               ((row_bytes << shift_) % pages::kHuge != 0 && (row_bytes << shift_) < 4 * pages::kHuge))
            ++shift_;
        mask_ = (size_t{1} << shift_) - 1;
        while (first_rows_ * row_bytes < kFirstBytes) first_rows_ *= 2;
    }
    RowBlocks(const RowBlocks&) = delete;
    RowBlocks& operator=(const RowBlocks&) = delete;
    RowBlocks(RowBlocks&& other) noexcept { swap(other); }
    RowBlocks& operator=(RowBlocks&& other) noexcept {
        RowBlocks(std::move(other)).swap(*this);
        return *this;
    }
    ~RowBlocks() {
        for (size_t b = 0; b < blocks_.size(); ++b) pages::release(blocks_[b], block_bytes(b));
    }

    size_t width() const noexcept { return width_; }
    size_t size() const noexcept { return rows_; }
    T* row(size_t r) noexcept { return blocks_[r >> shift_] + (r & mask_) * width_; }
    const T* row(size_t r) const noexcept { return blocks_[r >> shift_] + (r & mask_) * width_; }
    T& operator[](size_t r) noexcept { return *row(r); }
    const T& operator[](size_t r) const noexcept { return *row(r); }
    // Rows r, r + 1, ... lie one after another up to the end of r's block:
    // this many of them.
    size_t run(size_t r) const noexcept { return mask_ + 1 - (r & mask_); }

    // Room for `rows` rows in all, so that appending up to there cannot fail.
    // Throws std::bad_alloc and then changes nothing.
    void reserve(size_t rows) {
        while (capacity() < rows) grow();
    }
    // Appends a row (room must have been reserved): a copy of `values`, or zeros.
    void push_back(const T* values) noexcept { std::copy_n(values, width_, append()); }
    void push_back_zeros() noexcept { std::fill_n(append(), width_, T{}); }
    void pop_back() noexcept { --rows_; }

    // Every row gets `width` elements (rows are copied into new blocks; the
    // new elements are zero). Throws std::bad_alloc and then changes nothing.
    void widen(size_t width) {
        RowBlocks wider(width);
        wider.reserve(rows_);
        for (size_t r = 0; r < rows_; ++r) {
            T* to = wider.append();
            std::copy_n(row(r), width_, to);
            std::fill(to + width_, to + width, T{});
        }
        swap(wider);
    }

    void swap(RowBlocks& other) noexcept {
        std::swap(width_, other.width_);
        std::swap(shift_, other.shift_);
        std::swap(mask_, other.mask_);
        std::swap(rows_, other.rows_);
        std::swap(first_rows_, other.first_rows_);
        blocks_.swap(other.blocks_);
    }

private:
    static constexpr size_t kFirstBytes = 4096, kSmallBytes = 65536;

    size_t capacity() const noexcept {
        return blocks_.size() == 1 && first_rows_ <= mask_ ? first_rows_ : blocks_.size() << shift_;
    }
    size_t block_bytes(size_t b) const noexcept {
        const size_t rows = b == 0 && first_rows_ <= mask_ ? first_rows_ : mask_ + 1;
        return std::max<size_t>(1, rows * width_ * sizeof(T));
    }
    void grow() {
        if (blocks_.empty() || first_rows_ > mask_) {
            blocks_.reserve(blocks_.size() + 1);
            blocks_.push_back(static_cast<T*>(pages::allocate(block_bytes(blocks_.size()))));
            return;
        }
        // The small first block doubles, then becomes a whole block.
        const size_t rows = 2 * block_bytes(0) <= kSmallBytes ? 2 * first_rows_ : mask_ + 1;
        T* bigger = static_cast<T*>(pages::allocate(std::max<size_t>(1, rows * width_ * sizeof(T))));
        std::copy_n(blocks_[0], rows_ * width_, bigger);
        pages::release(blocks_[0], block_bytes(0));
        blocks_[0] = bigger;
        first_rows_ = rows;
    }
    T* append() noexcept {
        T* at = row(rows_);
        // Offer the huge pages of the block that this row completes.
        const size_t row_bytes = width_ * sizeof(T);
        const size_t end = ((rows_ & mask_) + 1) * row_bytes;
        const size_t first = (end - row_bytes) / pages::kHuge, last = end / pages::kHuge;
        if (last > first)
            pages::settle(reinterpret_cast<char*>(blocks_[rows_ >> shift_]) + first * pages::kHuge,
                          (last - first) * pages::kHuge);
        ++rows_;
        return at;
    }

    size_t width_ = 0, shift_ = 0, mask_ = 0, rows_ = 0;
    size_t first_rows_ = 1;  // rows of the first block while it is smaller than a whole block
    std::vector<T*> blocks_;
};

// The ids of an index, each stored once ([length as a varint][bytes]) in
// chunks that never move, addressed by a 32-bit offset.
class IdArena {
public:
    // Stores `id`; its address for view(). Throws std::bad_alloc (nothing is
    // stored then) or std::length_error when the arena would pass 4 GiB.
    uint32_t store(std::string_view id) {
        uint8_t head[10];
        size_t head_len = 0;
        for (uint64_t n = id.size();; n >>= 7) {
            head[head_len++] = static_cast<uint8_t>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0));
            if (n < 0x80) break;
        }
        const size_t need = head_len + id.size();
        if (need > room_) {
            // A new chunk; an id longer than a chunk gets a run of chunks to
            // itself (the first holds it all, the others stay empty).
            const size_t count = (need + kChunk - 1) / kChunk;
            const size_t first = chunks_.size() * kChunk;
            if (first + count * kChunk > size_t{UINT32_MAX} + 1) throw std::length_error("ids exceed 4 GiB");
            chunks_.reserve(chunks_.size() + count);
            chunks_.emplace_back(new char[count * kChunk]);
            for (size_t c = 1; c < count; ++c) chunks_.emplace_back();
            end_ = first;
            room_ = count == 1 ? kChunk : need;
        }
        char* to = chunks_[end_ / kChunk].get() + (end_ & (kChunk - 1));
        std::copy_n(head, head_len, to);
        std::copy(id.begin(), id.end(), to + head_len);
        const uint32_t at = static_cast<uint32_t>(end_);
        end_ += need;
        room_ -= need;
        return at;
    }
    std::string_view view(uint32_t at) const noexcept {
        const char* p = chunks_[at / kChunk].get() + (at & (kChunk - 1));
        uint64_t n = 0;
        for (int shift = 0;; shift += 7) {
            const uint8_t b = static_cast<uint8_t>(*p++);
            n |= uint64_t{b & 0x7fu} << shift;
            if (!(b & 0x80)) break;
        }
        return {p, static_cast<size_t>(n)};
    }

private:
    static constexpr size_t kChunk = size_t{1} << 16;
    std::vector<std::unique_ptr<char[]>> chunks_;
    size_t end_ = 0;   // where the next id goes
    size_t room_ = 0;  // bytes left there
};

// Ids to uint32 values by open addressing (linear probing, at most 4/5
// full). The ids live with their owner: every call that compares ids is
// given `key_of`, which returns a stored value's id, so a slot is just the
// value (4 bytes).
class IdTable {
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    size_t size() const noexcept { return count_; }
    template <class KeyOf>
    uint32_t find(std::string_view id, const KeyOf& key_of) const noexcept {
        if (slots_.empty()) return kNone;
        for (size_t i = home(id);; i = next(i)) {
            const uint32_t v = slots_[i];
            if (v == kNone || key_of(v) == id) return v;
        }
    }
    // Room for `count` ids in all. Throws std::bad_alloc and then changes nothing.
    template <class KeyOf>
    void reserve(size_t count, const KeyOf& key_of) {
        size_t cap = slots_.empty() ? 16 : slots_.size();
        while (count * 5 > cap * 4) cap *= 2;
        if (cap == slots_.size()) return;
        std::vector<uint32_t> old(cap, kNone);
        old.swap(slots_);
        for (uint32_t v : old)
            if (v != kNone) place(key_of(v), v);
    }
    // Adds an id that is not present (room must have been reserved).
    void insert(std::string_view id, uint32_t value) noexcept {
        place(id, value);
        ++count_;
    }
    // Removes an id; its value, or kNone when it was not present.
    template <class KeyOf>
    uint32_t erase(std::string_view id, const KeyOf& key_of) noexcept {
        if (slots_.empty()) return kNone;
        size_t i = home(id);
        while (slots_[i] != kNone && key_of(slots_[i]) != id) i = next(i);
        const uint32_t value = slots_[i];
        if (value == kNone) return kNone;
        // Backward shift: later members of the probe run move up into the gap
        // unless their home lies after it.
        const size_t mask = slots_.size() - 1;
        for (size_t j = next(i); slots_[j] != kNone; j = next(j)) {
            if (((j - home(key_of(slots_[j]))) & mask) >= ((j - i) & mask)) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = kNone;
        --count_;
        return value;
    }
    // Points a present id at another value (its owner moved it).
    template <class KeyOf>
    void reassign(std::string_view id, uint32_t value, const KeyOf& key_of) noexcept {
        size_t i = home(id);
        while (key_of(slots_[i]) != id) i = next(i);
        slots_[i] = value;
    }

private:
    size_t home(std::string_view id) const noexcept { return hash_(id) & (slots_.size() - 1); }
    size_t next(size_t i) const noexcept { return (i + 1) & (slots_.size() - 1); }
    void place(std::string_view id, uint32_t value) noexcept {
        size_t i = home(id);
        while (slots_[i] != kNone) i = next(i);
        slots_[i] = value;
    }

    SeededHash<std::string> hash_;
    std::vector<uint32_t> slots_;
    size_t count_ = 0;
};

}  // namespace halyard
