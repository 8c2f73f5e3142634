// The approximate nearest-neighbour index: a hierarchical navigable
// small-world graph.
//
// Layout: node vectors in one contiguous block (one row per slot), the
// neighbour sets in flat arrays of fixed-stride rows ([count, members...]),
// one array for layer 0 and one for all higher layers, and visited marks in
// a generation-stamped array reused by every layer search of a thread.
// Removed nodes keep their slot, their vector and every link to and from them
// (a tombstone): they take part in the graph as waypoints but are never
// reported, and a search's result set holds live nodes only.
//
// Copies of one vector (stored many times, or a rounding step apart) are all
// at the same distance from everything, so distances alone cannot choose
// among them: the copies on a layer are joined in a chain (each links to at
// most two of the others, and every copy keeps a link from one), a new copy
// takes its other links from the copy it joins, and a neighbour set keeps at
// most one copy of any vector other than its own node's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "index/storage.hpp"
#include "index/types.hpp"

namespace halyard {

// xoshiro256++ (256-bit state).
class Xoshiro256pp {
public:
    explicit Xoshiro256pp(const uint64_t (&seed)[4]);
    static Xoshiro256pp seed_from_u64(uint64_t value);  // SplitMix64 expansion
    // Seeds from 32 bytes of the operating system's random source; an
    // all-zero seed is replaced by seed_from_u64(0). Throws
    // Error("from_entropy failed: ...") when the source fails.
    static Xoshiro256pp from_entropy();
    uint64_t next() noexcept;
    double next_unit() noexcept { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    uint64_t s_[4];
};

class HNSWIndex final : public VectorIndex {
public:
    static constexpr size_t kMaxLevel = 16;

    explicit HNSWIndex(HNSWConfig config);

    void add(std::string_view id, FloatSpan vector) override;  // insert
    std::vector<SearchResult> search(FloatSpan query, size_t k) const override;
    bool remove(std::string_view id) override;
    bool contains(std::string_view id) const override;
    size_t len() const override { return id_to_idx_.size(); }
    size_t dimension() const override { return config_.base.dimension; }
    DistanceType distance_type() const override { return config_.base.distance_type; }

    const HNSWConfig& config() const noexcept { return config_; }
    size_t slots() const noexcept { return levels_.size(); }
    std::optional<uint32_t> entry_point() const noexcept { return entry_point_; }
    size_t max_level() const noexcept { return max_level_; }

    struct Cand {
        float d;
        uint32_t idx;
    };

private:
    // Neighbour sets of one group of layers: fixed-stride rows [count, members...].
    // The stride starts small and grows (up to the set limit) only when a
    // set outgrows it, so a huge `m` costs memory only where links exist.
    //
    // `diverse[r]` counts the leading members of row r that the diversity
    // rule itself chose, nearest first (capped at 255): no one of them is
    // nearer to a later one than the row's node is. Members appended after
    // them are unchecked. Cutting an overfull set back then only has to
    // compare pairs that involve an unchecked member or the new node.
    struct Links {
        RowBlocks<uint32_t> data;
        RowBlocks<uint8_t> diverse{1};
        size_t limit = 0;  // largest set size ever needed (M of these layers)

        size_t stride() const noexcept { return data.width() - 1; }  // member capacity of a row
        size_t rows() const noexcept { return data.size(); }
        uint32_t* row(size_t r) noexcept { return data.row(r); }
        const uint32_t* row(size_t r) const noexcept { return data.row(r); }
        void reserve_rows(size_t count) {  // room for `count` rows in all
            data.reserve(count);
            diverse.reserve(count);
        }
        void ensure_stride(size_t members);    // rows can hold `members`
        void add_rows(size_t count) noexcept;  // after reserve_rows
    };

    struct Metric;
    struct Rng {
        std::mutex lock;
        Xoshiro256pp gen;
    };

    size_t draw_level();
    const float* vector_of(uint32_t idx) const noexcept { return vectors_.row(idx); }
    const uint32_t* links_of(uint32_t idx, size_t layer) const noexcept {
        return layer == 0 ? layer0_.row(idx) : upper_.row(upper_base_[idx] + layer - 1);
    }
    uint32_t* links_of(uint32_t idx, size_t layer) noexcept {
        return layer == 0 ? layer0_.row(idx) : upper_.row(upper_base_[idx] + layer - 1);
    }
    struct Scratch;
    struct InsertScratch;
    struct Copies;
    static Scratch& scratch();
    Copies copies_of(uint32_t idx, const Metric& inserting, uint32_t n) const;
    template <bool Pruning>
    void select_diverse(InsertScratch& s, const Metric& inserting, uint32_t n, const Cand* cands, size_t count,
                        size_t limit, std::vector<uint32_t>& out, const uint8_t* checked = nullptr,
                        const Copies* copies = nullptr) const;
    void plan_link(InsertScratch& s, const Metric& inserting, uint32_t n, uint32_t node, size_t layer, float d_new,
                   size_t limit, size_t& need) const;
    void plan_copy(InsertScratch& s, const Metric& inserting, const Copies& copies, uint32_t n, Cand twin,
                   size_t layer, size_t limit, size_t& need) const;
    uint8_t& diverse_of(uint32_t idx, size_t layer) noexcept {
        return layer == 0 ? layer0_.diverse[idx] : upper_.diverse[upper_base_[idx] + layer - 1];
    }
    uint8_t diverse_of(uint32_t idx, size_t layer) const noexcept {
        return layer == 0 ? layer0_.diverse[idx] : upper_.diverse[upper_base_[idx] + layer - 1];
    }
    [[noreturn]] void fail_pair_nan(std::string_view id, uint32_t n, uint32_t a, uint32_t b) const;
    // What a layer search admits into its result set: every node it reaches,
    // live nodes only (a query's last layer), or one node per stored vector
    // (an insertion choosing neighbours).
    enum class Walk { All, LiveResults, OneCopy };
    void search_layer(Scratch& s, const Metric& metric, uint32_t entry, size_t ef, size_t layer, std::vector<Cand>& out,
                      Walk walk = Walk::All) const;
    bool same_vector(uint32_t a, uint32_t b) const noexcept {
        return std::equal(vector_of(a), vector_of(a) + dimension(), vector_of(b));
    }
    float norm_of(uint32_t idx) const noexcept { return norms_.size() == 0 ? 0.0f : norms_[idx]; }
    // A slot's id (empty for a removed node).
    std::string_view id_of(uint32_t idx) const noexcept {
        return (flags_[idx] & kLive) ? ids_.view(id_at_[idx]) : std::string_view();
    }
    std::string id_text(uint32_t idx) const { return std::string(id_of(idx)); }
    auto id_key() const noexcept {
        return [this](uint32_t idx) { return ids_.view(id_at_[idx]); };
    }
    [[noreturn]] void fail_nan(const Metric& metric, uint32_t idx) const;

    HNSWConfig config_;
    // Every per-slot array grows in blocks that never move (see RowBlocks).
    RowBlocks<float> vectors_;  // one row per slot (kept for removed nodes: they still guide searches)
    RowBlocks<float> norms_;    // square root of each slot's sum of squares (Cosine only)
    IdArena ids_;
    RowBlocks<uint32_t> id_at_{1};  // each slot's id in ids_
    RowBlocks<uint8_t> levels_{1};
    // Per slot: kLive unless removed; kCopied once it is one of several
    // copies of its vector, joined in a chain of copies; kHead for the copy
    // that was there first, which the rest of the graph links to (a new
    // node's layer searches reach the other copies only along their chain,
    // and put them aside).
    static constexpr uint8_t kLive = 1, kCopied = 2, kHead = 4;
    RowBlocks<uint8_t> flags_{1};
    RowBlocks<uint32_t> upper_base_{1};  // first row in upper_ of each slot (layers 1..level)
    Links layer0_;
    Links upper_;
    IdTable id_to_idx_;  // live slots by id
    std::optional<uint32_t> entry_point_;
    size_t max_level_ = 0;
    std::unique_ptr<Rng> rng_;
};

}  // namespace halyard
