// The exact (brute-force) nearest-neighbour index.
//
// Vectors live in rows that never move once stored (blocks of rows); ids map
// to rows and back. Removal moves the last row into the freed one, so the
// rows stay dense.
// A search scores every row: up to the parallel threshold on the calling
// thread, above it in chunks on the worker pool. Either way it keeps the k
// best by (ranking key, row), a total order, so the hits never depend on the
// way taken or on the number of workers.
#pragma once

#include <string>
#include <vector>

#include "index/storage.hpp"
#include "index/types.hpp"

namespace halyard {

class FlatIndex final : public VectorIndex {
public:
    explicit FlatIndex(IndexConfig config);

    void add(std::string_view id, FloatSpan vector) override;
    std::vector<SearchResult> search(FloatSpan query, size_t k) const override;
    bool remove(std::string_view id) override;
    bool contains(std::string_view id) const override;
    size_t len() const override { return ids_.size(); }
    size_t dimension() const override { return config_.dimension; }
    DistanceType distance_type() const override { return config_.distance_type; }

    const IndexConfig& config() const noexcept { return config_; }
    bool parallel() const noexcept { return parallel_; }
    size_t parallel_threshold() const noexcept { return parallel_threshold_; }
    // Core-only switches (the Python interface never changes them).
    void set_parallel(bool on) noexcept { parallel_ = on; }
    void set_parallel_threshold(size_t threshold) noexcept { parallel_threshold_ = threshold; }

    // One scored row; candidates are ordered by (key, row), smaller is better.
    struct Candidate {
        float key;
        size_t row;
    };

private:
    struct Query;
    void select_rows(const Query& q, size_t begin, size_t end, size_t k, Candidate* out, size_t& held,
                     size_t& nan_row) const;
    [[noreturn]] void fail_nan(const Query& q, size_t row) const;

    IndexConfig config_;
    bool parallel_ = true;
    size_t parallel_threshold_ = 1000;

    RowBlocks<float> rows_;      // len() rows of `dimension` floats
    RowBlocks<float> norms_{1};  // square root of each row's sum of squares
    std::vector<std::string> ids_;
    IdTable row_of_;
    auto id_key() const noexcept {
        return [this](uint32_t row) { return std::string_view(ids_[row]); };
    }
};

}  // namespace halyard
