#include "index/flat.hpp"

#include <algorithm>
#include <cmath>

#include "index/error.hpp"
#include "runtime/pool.hpp"
#include "vector/kernels.hpp"
#include "vector/similarity.hpp"

namespace halyard {

namespace {

template <class V>
void grow_for(V& v, size_t needed) {
    if (v.capacity() < needed) v.reserve(std::max(needed, v.capacity() * 2));
}

// Scales v in place to unit Euclidean length; an all-zero vector stays as it is.
void scale_to_unit(std::vector<float>& v) {
    const float sum = sum_squares_sequential(v);
    if (sum > 0.0f) {
        const float norm = std::sqrt(sum);
        for (float& x : v) x /= norm;
    }
}

bool better(const FlatIndex::Candidate& a, const FlatIndex::Candidate& b) {
    return a.key < b.key || (a.key == b.key && a.row < b.row);
}

constexpr size_t kBlockRows = 256;  // rows scored per kernel call

}  // namespace

struct FlatIndex::Query {
    const float* data;
    size_t dim;
    float norm;  // square root of the query's sum of squares (cosine only)
    DistanceType type;
    const kernels::KernelSet* k;
    FloatSpan original;
};

FlatIndex::FlatIndex(IndexConfig config) : config_(config), rows_(config.dimension) {}

void FlatIndex::add(std::string_view id, FloatSpan vector) {
    const size_t dim = config_.dimension;
    if (vector.size() != dim) throw CoreError::add_dimension_mismatch(dim, vector.size());
    std::vector<float> scaled;
    if (config_.normalize) {
        scaled.assign(vector.begin(), vector.end());
        scale_to_unit(scaled);
        vector = scaled;
    }
    const float norm = std::sqrt(kernels::active().sum_squares(vector.data(), dim));

    if (const uint32_t row = row_of_.find(id, id_key()); row != IdTable::kNone) {
        std::copy(vector.begin(), vector.end(), rows_.row(row));
        norms_[row] = norm;
        return;
    }
    const size_t row = ids_.size();
    if (row >= IdTable::kNone) throw CoreError::capacity_exceeded(row, IdTable::kNone);
    // Reserve first and store the id: after that nothing can fail, so a
    // failed add leaves the index unchanged.
    rows_.reserve(row + 1);
    norms_.reserve(row + 1);
    grow_for(ids_, row + 1);
    row_of_.reserve(row + 1, id_key());
    ids_.emplace_back(id);
    row_of_.insert(id, static_cast<uint32_t>(row));
    rows_.push_back(vector.data());
    norms_.push_back(&norm);
}

bool FlatIndex::remove(std::string_view id) {
    const uint32_t row = row_of_.erase(id, id_key());
    if (row == IdTable::kNone) return false;
    const size_t last = ids_.size() - 1;
    if (row != last) {
        std::copy_n(rows_.row(last), config_.dimension, rows_.row(row));
        norms_[row] = norms_[last];
        row_of_.reassign(ids_[last], row, id_key());
        ids_[row] = std::move(ids_[last]);
    }
    rows_.pop_back();
    norms_.pop_back();
    ids_.pop_back();
    return true;
}

bool FlatIndex::contains(std::string_view id) const { return row_of_.find(id, id_key()) != IdTable::kNone; }

// Scores rows [begin, end) and keeps the best `k` of them in out[0..held) as
// a max-heap on (key, row). The first row whose value is NaN goes to nan_row.
void FlatIndex::select_rows(const Query& q, size_t begin, size_t end, size_t k, Candidate* out, size_t& held,
                            size_t& nan_row) const {
    float values[kBlockRows];
    const size_t dim = q.dim;
    for (size_t block = begin; block < end;) {
        const size_t count = std::min({kBlockRows, end - block, rows_.run(block)});
        const float* rows = rows_.row(block);
        if (q.type == DistanceType::L2) {
            q.k->l2_squared_rows(q.data, rows, dim, dim, count, values);
            for (size_t i = 0; i < count; ++i) values[i] = std::sqrt(values[i]);
        } else {
            q.k->dot_rows(q.data, rows, dim, dim, count, values);
            if (q.type == DistanceType::Cosine) {
                for (size_t i = 0; i < count; ++i) {
                    const float vn = norms_[block + i];
                    values[i] = (q.norm == 0.0f || vn == 0.0f) ? 0.0f : values[i] / (q.norm * vn);
                }
            }
            // Higher similarity is better: rank by its negation.
            for (size_t i = 0; i < count; ++i) values[i] = -values[i];
        }
        for (size_t i = 0; i < count; ++i) {
            const float key = values[i];
            const size_t row = block + i;
            if (std::isnan(key)) {
                nan_row = std::min(nan_row, row);
                continue;
            }
            if (held < k) {
                out[held++] = {key, row};
                std::push_heap(out, out + held, better);
            } else if (key < out[0].key) {  // rows grow, so an equal key never wins
                std::pop_heap(out, out + held, better);
                out[held - 1] = {key, row};
                std::push_heap(out, out + held, better);
            }
        }
        block += count;
    }
}

void FlatIndex::fail_nan(const Query& q, size_t row) const {
    if (has_nan(q.original)) throw CoreError::invalid_query("the query contains NaN");
    throw Error("Cannot rank entry '" + ids_[row] +
                "': its distance to the query is NaN (NaN or infinite components cannot be ordered)");
}

std::vector<SearchResult> FlatIndex::search(FloatSpan query, size_t k) const {
    const size_t dim = config_.dimension;
    if (query.size() != dim) throw CoreError::query_dimension_mismatch(dim, query.size());
    const size_t n = len();
    const size_t kk = std::min(k, n);
    if (kk == 0) return {};

    std::vector<float> scaled;
    if (config_.normalize) {
        scaled.assign(query.begin(), query.end());
        scale_to_unit(scaled);
    }
    const kernels::KernelSet& ks = kernels::active();
    const float* qdata = config_.normalize ? scaled.data() : query.data();
    const Query q{qdata, dim, std::sqrt(ks.sum_squares(qdata, dim)), config_.distance_type, &ks, query};

    std::vector<Candidate> best;
    size_t nan_row = SIZE_MAX;
    if (parallel_ && n > parallel_threshold_) {
        // Fixed-size chunks, each keeping its own best kk; chunking does not
        // depend on the pool size, and the merge below is a total order.
        const size_t chunk_rows = std::clamp<size_t>(131072 / std::max<size_t>(dim, 1), 256, 16384);
        const size_t chunks = (n + chunk_rows - 1) / chunk_rows;
        const size_t per_chunk = std::min(kk, chunk_rows);
        std::vector<Candidate> slots(chunks * per_chunk);
        std::vector<size_t> held(chunks, 0);
        std::vector<size_t> nan_rows(chunks, SIZE_MAX);
        WorkerPool::instance().run(chunks, [&](size_t c) {
            const size_t begin = c * chunk_rows;
            select_rows(q, begin, std::min(n, begin + chunk_rows), per_chunk, slots.data() + c * per_chunk, held[c],
                        nan_rows[c]);
        });
        nan_row = *std::min_element(nan_rows.begin(), nan_rows.end());
        if (nan_row != SIZE_MAX) fail_nan(q, nan_row);
        size_t total = 0;
        for (size_t c = 0; c < chunks; ++c) {
            std::copy_n(slots.begin() + static_cast<ptrdiff_t>(c * per_chunk), held[c],
                        slots.begin() + static_cast<ptrdiff_t>(total));
            total += held[c];
        }
        slots.resize(total);
        best = std::move(slots);
    } else {
        best.resize(kk);
        size_t held = 0;
        select_rows(q, 0, n, kk, best.data(), held, nan_row);
        if (nan_row != SIZE_MAX) fail_nan(q, nan_row);
        best.resize(held);
    }

    const size_t keep = std::min(kk, best.size());
    std::partial_sort(best.begin(), best.begin() + static_cast<ptrdiff_t>(keep), best.end(), better);
    std::vector<SearchResult> out;
    out.reserve(keep);
    const DistanceType type = config_.distance_type;
    for (size_t i = 0; i < keep; ++i) {
        const float s = type == DistanceType::L2 ? best[i].key : -best[i].key;
        out.push_back(SearchResult{ids_[best[i].row], s, score_of(type, s)});
    }
    return out;
}

}  // namespace halyard
