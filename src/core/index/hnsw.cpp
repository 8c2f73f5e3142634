#include "index/hnsw.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "index/error.hpp"
#include "runtime/cpu.hpp"
#include "runtime/os_random.hpp"
#include "vector/kernels.hpp"

namespace halyard {

// ---- level generator ---------------------------------------------------------------

namespace {

inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t splitmix64(uint64_t& state) {
    state += 0x9e3779b97f4a7c15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace

Xoshiro256pp::Xoshiro256pp(const uint64_t (&seed)[4]) {
    std::copy(std::begin(seed), std::end(seed), s_);
}

Xoshiro256pp Xoshiro256pp::seed_from_u64(uint64_t value) {
    uint64_t seed[4];
    for (uint64_t& word : seed) word = splitmix64(value);
    return Xoshiro256pp(seed);
}

Xoshiro256pp Xoshiro256pp::from_entropy() {
    unsigned char bytes[32];
    if (auto failure = os_random_bytes(bytes, sizeof bytes)) throw Error("from_entropy failed: " + *failure);
    uint64_t seed[4];
    for (size_t w = 0; w < 4; ++w) {
        uint64_t word = 0;
        for (size_t b = 0; b < 8; ++b) word |= static_cast<uint64_t>(bytes[w * 8 + b]) << (8 * b);
        seed[w] = word;
    }
    if ((seed[0] | seed[1] | seed[2] | seed[3]) == 0) return seed_from_u64(0);
    return Xoshiro256pp(seed);
}

uint64_t Xoshiro256pp::next() noexcept {
    const uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

// ---- neighbour storage ----------------------------------------------------------------

namespace {

constexpr size_t kInitialStride = 64;
constexpr uint32_t kBatch = 64;
constexpr size_t kPairChunk = 4;

// Copies of one vector: within 2^-9 of its length of each other (L2; under
// InnerProduct the same through the dot products), or within 2^-18 of the
// same direction (Cosine: about 0.16 degrees). Far above what rounding
// moves a distance, far below what separates vectors of real data.
constexpr float kCopySpan = 0x1p-9f;
constexpr float kCopyCosine = 0x1p-18f;
// Links that hold the copies of one vector together: each copy links to at
// most this many other copies (a chain).
constexpr size_t kCopyLinks = 2;

}  // namespace

void HNSWIndex::Links::ensure_stride(size_t members) {
    if (members <= stride()) return;
    data.widen(std::min(limit, std::max(members, stride() * 2)) + 1);
}

void HNSWIndex::Links::add_rows(size_t count) noexcept {
    for (size_t r = 0; r < count; ++r) {
        data.push_back_zeros();
        diverse.push_back_zeros();
    }
}

// ---- distances -------------------------------------------------------------------------

namespace {

// Graph distance between two live vectors (norms are square roots of the sums
// of squares); smaller is nearer.
inline float live_distance(DistanceType type, const kernels::KernelSet& k, const float* a, float an, const float* b,
                           float bn, size_t dim) {
    switch (type) {
        case DistanceType::L2: return std::sqrt(k.l2_squared(a, b, dim));
        case DistanceType::InnerProduct: return -k.dot(a, b, dim);
        case DistanceType::Cosine:
            if (an == 0.0f || bn == 0.0f) return 1.0f;
            return 1.0f - k.dot(a, b, dim) / (an * bn);
    }
    return 0.0f;
}

// Candidate orders. Queue: nearest first, equal distances by smaller index.
// Result set: its top is the farthest, equal distances by larger index.
struct QueueAfter {
    bool operator()(const HNSWIndex::Cand& a, const HNSWIndex::Cand& b) const noexcept {
        return a.d > b.d || (a.d == b.d && a.idx > b.idx);
    }
};
struct Nearer {
    bool operator()(const HNSWIndex::Cand& a, const HNSWIndex::Cand& b) const noexcept {
        return a.d < b.d || (a.d == b.d && a.idx < b.idx);
    }
};
constexpr QueueAfter queue_after{};
constexpr Nearer nearer{};

// Replaces the top of a heap ordered by `nearer` (its farthest entry) with a
// nearer candidate and restores the order: one pass down instead of a push
// and a pop.
void replace_farthest(std::vector<HNSWIndex::Cand>& heap, HNSWIndex::Cand c) noexcept {
    HNSWIndex::Cand* h = heap.data();
    const size_t size = heap.size();
    size_t hole = 0;
    for (;;) {
        size_t child = 2 * hole + 1;
        if (child >= size) break;
        if (child + 1 < size && nearer(h[child], h[child + 1])) ++child;
        if (!nearer(c, h[child])) break;
        h[hole] = h[child];
        hole = child;
    }
    h[hole] = c;
}

// Requests every cache line of `bytes` bytes at p.
inline void prefetch_span(const void* p, size_t bytes) noexcept {
    const char* c = static_cast<const char*>(p);
    for (size_t off = 0; off < bytes; off += 64) cpu::prefetch(c + off);
}

struct LayerScratch {
    std::vector<uint16_t> marks;  // two bytes a slot: a full reset every 65,535 searches
    uint16_t generation = 0;
    std::vector<HNSWIndex::Cand> queue;
    std::vector<HNSWIndex::Cand> aside, taken, ranked;  // copies put aside and taken back by a query

    void begin(size_t slots) {
        if (marks.size() < slots) marks.resize(std::max(slots, marks.size() * 2), 0);
        if (++generation == 0) {
            std::fill(marks.begin(), marks.end(), 0);
            generation = 1;
        }
    }
    bool visit(uint32_t idx) {
        if (marks[idx] == generation) return false;
        marks[idx] = generation;
        return true;
    }
};

}  // namespace

// Working lists of one insertion.
struct HNSWIndex::InsertScratch {
    struct Change {
        enum Kind : uint8_t { Append, Replace, Set };
        uint32_t node;
        uint32_t layer;
        Kind kind;
        uint32_t old;        // Replace: the member the new node takes the place of
        size_t begin, size;  // Set: the set's new members in `pruned`
    };
    std::vector<Cand> w, ranked, rest;
    std::vector<uint32_t> chosen;      // the new node's sets, top layer first
    std::vector<size_t> chosen_end;    // end in `chosen` of each layer's set
    std::vector<uint8_t> chosen_checked;  // per layer: length of the set's rule-checked prefix
    std::vector<Change> changes;
    std::vector<uint32_t> copied;  // nodes the new one joins as a copy
    std::vector<uint32_t> pruned;
    std::vector<float> dists, to_new;
    std::vector<uint32_t> kept;
    std::vector<uint8_t> kept_checked;
    std::vector<uint8_t> checked;  // per entry of `ranked`: among its set's rule-checked prefix
};

// Per-thread search state, reused by every layer search and insertion of the thread.
struct HNSWIndex::Scratch : LayerScratch {
    InsertScratch insert;
};

HALYARD_NOINLINE HNSWIndex::Scratch& HNSWIndex::scratch() {
    thread_local Scratch s;
    return s;
}

// Distances from one query vector (a search query or the vector being inserted).
struct HNSWIndex::Metric {
    const HNSWIndex& index;
    FloatSpan query;
    float norm;
    DistanceType type;
    const kernels::KernelSet& k;
    const std::string_view* inserting;  // id being inserted, or null for a search

    float operator()(uint32_t idx) const {
        return live_distance(type, k, query.data(), norm, index.vector_of(idx), index.norm_of(idx), query.size());
    }

    // Distances to nodes[0..count) at once: one kernel call for a whole neighbour set.
    void batch(const uint32_t* nodes, size_t count, float* out) const {
        for (size_t from = 0; from < count; from += kBatch)
            batch_part(nodes + from, std::min<size_t>(kBatch, count - from), out + from);
    }
    // `rows` is left unset past `count` (zeroing it measurably slowed
    // insertion); GCC cannot see that the kernels read only [0, count).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
    void batch_part(const uint32_t* nodes, size_t count, float* out) const {
        const size_t dim = query.size();
        const float* rows[kBatch];
        for (size_t i = 0; i < count; ++i) rows[i] = index.vector_of(nodes[i]);
        if (type == DistanceType::L2) {
            k.l2_squared_picked(query.data(), rows, dim, count, out);
            for (size_t i = 0; i < count; ++i) out[i] = std::sqrt(out[i]);
        } else {
            k.dot_picked(query.data(), rows, dim, count, out);
            for (size_t i = 0; i < count; ++i) {
                if (type == DistanceType::InnerProduct) {
                    out[i] = -out[i];
                } else {
                    const float vn = index.norms_[nodes[i]];
                    out[i] = (norm == 0.0f || vn == 0.0f) ? 1.0f : 1.0f - out[i] / (norm * vn);
                }
            }
        }
    }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
};

// Which candidates are copies of one base node (or of the vector being
// inserted), judged from a candidate's graph distance to the base and, under
// InnerProduct, its length.
struct HNSWIndex::Copies {
    const HNSWIndex& index;
    const Metric& inserting;  // the vector being inserted, node index n
    uint32_t n;
    float norm;  // the base's length (square root of its sum of squares)
    float tol;
    float upto;  // no candidate farther than this from the base is a copy of it

    Copies(const HNSWIndex& index, const Metric& inserting, uint32_t n, float norm)
        : index(index), inserting(inserting), n(n), norm(norm) {
        switch (inserting.type) {
            case DistanceType::L2: upto = tol = kCopySpan * norm; break;
            case DistanceType::Cosine:
                tol = kCopyCosine;
                upto = norm == 0.0f ? 1.0f : tol;
                break;
            case DistanceType::InnerProduct:
                tol = kCopyCosine * (norm * norm);
                upto = tol - norm * norm;
                break;
        }
    }

    // Whether c may be a copy at all: a single comparison that almost every
    // candidate fails.
    bool near(const Cand& c) const noexcept { return c.d <= upto; }

    float norm_of(uint32_t idx) const {
        if (idx == n) return inserting.norm;
        if (inserting.type == DistanceType::Cosine) return index.norm_of(idx);
        return std::sqrt(inserting.k.sum_squares(index.vector_of(idx), index.dimension()));
    }

    bool operator()(const Cand& c) const {
        switch (inserting.type) {
            case DistanceType::L2: return c.d <= tol;
            case DistanceType::Cosine:
                // A vector of length 0 has no direction: it is at distance 1 from everything.
                return norm == 0.0f ? norm_of(c.idx) == 0.0f : std::fabs(c.d) <= tol;
            case DistanceType::InnerProduct: {
                // Equal dot product with the base and equal length: then the
                // difference of the two vectors is short too.
                const float sq = norm * norm;
                if (!(std::fabs(c.d + sq) <= tol)) return false;
                const float other = norm_of(c.idx);
                return std::fabs(other * other - sq) <= tol;
            }
        }
        return false;
    }
};

HNSWIndex::Copies HNSWIndex::copies_of(uint32_t idx, const Metric& inserting, uint32_t n) const {
    Copies probe(*this, inserting, n, 0.0f);
    return Copies(*this, inserting, n, probe.norm_of(idx));
}

// ---- index -----------------------------------------------------------------------------

HNSWIndex::HNSWIndex(HNSWConfig config)
    : config_(config), rng_(new Rng{{}, Xoshiro256pp::from_entropy()}) {
    vectors_ = RowBlocks<float>(config_.base.dimension);
    if (config_.base.distance_type == DistanceType::Cosine) norms_ = RowBlocks<float>(1);
    layer0_.limit = config_.m_max0;
    layer0_.data = RowBlocks<uint32_t>(std::min(config_.m_max0, kInitialStride) + 1);
    upper_.limit = config_.m;
    upper_.data = RowBlocks<uint32_t>(std::min(config_.m, kInitialStride) + 1);
}

size_t HNSWIndex::draw_level() {
    std::lock_guard guard(rng_->lock);
    size_t level = 0;
    double r = rng_->gen.next_unit();
    while (r < config_.ml && level < kMaxLevel) {
        ++level;
        r = rng_->gen.next_unit();
    }
    return level;
}

void HNSWIndex::fail_nan(const Metric& metric, uint32_t idx) const {
    if (metric.inserting) {
        const std::string id(*metric.inserting);
        if (has_nan(metric.query))
            throw Error("Cannot insert '" + id + "': the vector contains NaN, so its distances cannot be ordered");
        throw Error("Cannot insert '" + id + "': its distance to entry '" + id_text(idx) +
                    "' is NaN (NaN or infinite components cannot be ordered)");
    }
    if (has_nan(metric.query)) throw CoreError::invalid_query("the query contains NaN");
    throw Error("Cannot rank entry '" + id_text(idx) +
                "': its distance to the query is NaN (NaN or infinite components cannot be ordered)");
}

void HNSWIndex::search_layer(Scratch& s, const Metric& metric, uint32_t entry, size_t ef, size_t layer,
                             std::vector<Cand>& w, Walk walk) const {
    s.begin(slots());
    std::vector<Cand>& c = s.queue;
    std::vector<Cand>& aside = s.aside;
    c.clear();
    w.clear();
    aside.clear();
    // With Walk::LiveResults, removed nodes are walked through but take no
    // place in the result set, so it fills with live nodes only.
    const bool live_only = walk == Walk::LiveResults;
    // Except on a descent, a node's copies reached from it (the same vector,
    // so exactly the same distance) are put aside instead of taking places in
    // the result set: a vector stored a thousand times would otherwise fill
    // it and crowd out everything else. A query takes them back at the end.
    // The head of a group of copies is never put aside: the rest of the
    // graph links to it, so its set holds the group's links that no copy has.
    const bool one_copy = walk != Walk::All;

    s.visit(entry);
    const float d0 = metric(entry);
    if (std::isnan(d0)) fail_nan(metric, entry);
    auto admits = [&](uint32_t idx) { return !live_only || (flags_[idx] & kLive); };
    const size_t row_bytes = layer0_.data.width() * sizeof(uint32_t);
    c.push_back({d0, entry});
    if (admits(entry)) w.push_back({d0, entry});
    size_t w_changes = 0;

    auto score_member = [&](uint32_t member, float d) {
        if (std::isnan(d)) fail_nan(metric, member);
        const float f = w.empty() ? std::numeric_limits<float>::infinity() : w.front().d;
        if (w.size() < ef || d < f) {
            c.push_back({d, member});
            std::push_heap(c.begin(), c.end(), queue_after);
            // A new nearest candidate is expanded next: start loading its set.
            if (layer == 0 && c.front().idx == member) prefetch_span(layer0_.row(member), row_bytes);
            if (!admits(member)) return;
            ++w_changes;
            if (w.size() < ef) {
                w.push_back({d, member});
                std::push_heap(w.begin(), w.end(), nearer);
            } else {
                replace_farthest(w, {d, member});
            }
        }
    };

    // Scores the unvisited members of a node's set (the node at distance d);
    // with `set_aside`, those with the node's own vector go to `aside`.
    auto expand = [&](uint32_t node, float d, bool set_aside) HALYARD_INLINE_LAMBDA {
        const uint32_t* row = links_of(node, layer);
        const uint32_t count = row[0];
        uint16_t* marks = s.marks.data();
        const uint16_t generation = s.generation;
        // Unvisited members, in set order, scored in batches of one kernel call.
        for (uint32_t from = 1; from <= count; from += kBatch) {
            const uint32_t to = std::min(count, from + kBatch - 1);
            uint32_t fresh[kBatch];
            float dist[kBatch];
            uint32_t n_fresh = 0;
            // Without a branch on the mark (visited or not is a coin toss to
            // the CPU): every member is written, and only unvisited ones advance.
            for (uint32_t j = from; j <= to; ++j) {
                const uint32_t member = row[j];
                const bool unvisited = marks[member] != generation;
                marks[member] = generation;
                fresh[n_fresh] = member;
                n_fresh += unvisited;
            }
            if (n_fresh == 0) continue;
            metric.batch(fresh, n_fresh, dist);
            for (uint32_t j = 0; j < n_fresh; ++j) {
                if (set_aside && dist[j] == d && !(flags_[fresh[j]] & kHead) && same_vector(fresh[j], node)) {
                    aside.push_back({d, fresh[j]});
                    std::push_heap(aside.begin(), aside.end(), queue_after);
                } else {
                    score_member(fresh[j], dist[j]);
                }
            }
        }
    };

    auto walk_queue = [&]() HALYARD_INLINE_LAMBDA {
        while (!c.empty()) {
            std::pop_heap(c.begin(), c.end(), queue_after);
            const Cand cur = c.back();
            c.pop_back();
            // The next candidate's set is likely read next: start loading it.
            if (layer == 0 && !c.empty()) prefetch_span(layer0_.row(c.front().idx), row_bytes);
            const float farthest = w.empty() ? std::numeric_limits<float>::infinity() : w.front().d;
            if (w.size() >= ef && cur.d > farthest) break;
            if (layer > 0 && levels_[cur.idx] < layer) continue;
            expand(cur.idx, cur.d, one_copy && (flags_[cur.idx] & kCopied) && admits(cur.idx));
        }
    };
    walk_queue();

    if (live_only && !aside.empty()) {
        // The copies put aside join the results, nearest first, while fewer
        // than ef results are nearer. Each one's set is expanded in turn: the
        // chain of copies goes on there (further copies are put aside again),
        // and whatever else it holds is walked like any other candidate.
        std::vector<Cand>& taken = s.taken;
        std::vector<Cand>& ranked = s.ranked;  // the result set in order, sorted again when it changed
        taken.clear();
        size_t ranked_at = SIZE_MAX;
        while (!aside.empty()) {
            std::pop_heap(aside.begin(), aside.end(), queue_after);
            const Cand x = aside.back();
            aside.pop_back();
            if (ranked_at != w_changes) {
                ranked.assign(w.begin(), w.end());
                std::sort(ranked.begin(), ranked.end(), nearer);
                ranked_at = w_changes;
            }
            const auto nearer_results = std::lower_bound(ranked.begin(), ranked.end(), x, nearer) - ranked.begin();
            if (taken.size() + static_cast<size_t>(nearer_results) >= ef) break;
            if (flags_[x.idx] & kLive) taken.push_back(x);
            expand(x.idx, x.d, true);
            walk_queue();
        }
        w.insert(w.end(), taken.begin(), taken.end());
        std::sort(w.begin(), w.end(), nearer);
        if (w.size() > ef) w.resize(ef);
        return;
    }
    std::sort(w.begin(), w.end(), nearer);  // (distance, index) is a total order: same as a stable sort
}

void HNSWIndex::fail_pair_nan(std::string_view id, uint32_t n, uint32_t a, uint32_t b) const {
    auto name = [&](uint32_t idx) { return idx == n ? std::string(id) : id_text(idx); };
    throw Error("Cannot insert '" + std::string(id) + "': the distance between entries '" + name(a) + "' and '" +
                name(b) + "' is NaN (NaN or infinite components cannot be ordered)");
}

// Diversity rule: walk `cands` (nearest to the base node first) and keep a
// candidate unless a member already kept is strictly nearer to it than the
// base node is, until `limit` are kept. Links then point in different
// directions instead of all into the base node's own cluster, which keeps
// clusters joined to one another. `n` is the node being inserted (its
// vector is `inserting.query`, not yet stored). When a set is cut back
// (`Pruning`), `checked` marks the candidates that an earlier pass of the
// rule already kept together, in this order: no one of them rejects
// another, so those pairs are skipped (the outcome is the same as comparing
// them, NaN reports included); and `copies` tells which candidates are
// copies of the base node: those are its links within its chain of copies,
// kept (up to kCopyLinks) without taking part in the rule, since their
// distances to the other candidates are the base's own, give or take
// rounding. (A new node's own candidates hold no copy of it: it joins its
// copies another way.)
template <bool Pruning>
void HNSWIndex::select_diverse(InsertScratch& s, const Metric& inserting, uint32_t n, const Cand* cands,
                               size_t count, size_t limit, std::vector<uint32_t>& out, const uint8_t* checked,
                               const Copies* copies) const {
    const size_t dim = dimension();
    std::vector<uint32_t>& kept = s.kept;  // kept members other than n
    std::vector<uint8_t>& kept_checked = s.kept_checked;
    kept.clear();
    kept_checked.clear();
    bool kept_n = false;
    size_t kept_copies = 0;
    const size_t first = out.size();
    for (size_t i = 0; i < count && out.size() - first < limit; ++i) {
        const Cand c = cands[i];
        if constexpr (Pruning) {
            if (copies->near(c) && (*copies)(c)) {
                if (kept_copies < kCopyLinks) {
                    out.push_back(c.idx);
                    ++kept_copies;
                }
                continue;
            }
        }
        const bool c_checked = Pruning && checked[i];
        bool diverse = true;
        // Distances to the kept members nearest kept first, one at a time for
        // the first two (most candidates that fail, fail against one of
        // them), then in growing batches (one kernel call scores several).
        const Metric from_c{*this, c.idx == n ? inserting.query : FloatSpan(vector_of(c.idx), dim),
                            c.idx == n ? inserting.norm : norm_of(c.idx), inserting.type, inserting.k, nullptr};
        uint32_t pick[kPairChunk];
        float d[kPairChunk];
        for (size_t j = 0; diverse && j < kept.size();) {
            const size_t want = j < 2 ? 1 : j < 4 ? 2 : kPairChunk;
            size_t chunk = 0;
            for (; j < kept.size() && chunk < want; ++j)
                if (!(c_checked && kept_checked[j])) pick[chunk++] = kept[j];
            from_c.batch(pick, chunk, d);
            for (size_t q = 0; q < chunk; ++q) {
                if (std::isnan(d[q])) fail_pair_nan(*inserting.inserting, n, c.idx, pick[q]);
                if (d[q] < c.d) {
                    diverse = false;
                    break;
                }
            }
        }
        if (Pruning && diverse && kept_n) {
            const float d = inserting(c.idx);
            if (std::isnan(d)) fail_pair_nan(*inserting.inserting, n, c.idx, n);
            diverse = !(d < c.d);
        }
        if (!diverse) continue;
        out.push_back(c.idx);
        if (c.idx == n) {
            kept_n = true;
        } else {
            kept.push_back(c.idx);
            kept_checked.push_back(c_checked);
        }
    }
}

// Plans the link from `node` to the new node n on `layer` (at distance
// d_new). A set with room takes it as it is; a full one chooses again among
// its members and n by the diversity rule, as seen from `node`.
void HNSWIndex::plan_link(InsertScratch& is, const Metric& inserting, uint32_t n, uint32_t node, size_t layer,
                          float d_new, size_t limit, size_t& need) const {
    using Change = InsertScratch::Change;
    const uint32_t* row = links_of(node, layer);
    const size_t count = row[0];
    if (count + 1 <= limit) {
        is.changes.push_back({node, static_cast<uint32_t>(layer), Change::Append, 0, 0, 0});
        need = std::max(need, count + 1);
        return;
    }
    // Every graph distance is symmetric: d_new is also node's distance to n.
    is.dists.resize(count);
    const Metric from_s{*this, FloatSpan(vector_of(node), dimension()), norm_of(node), inserting.type, inserting.k,
                        nullptr};
    from_s.batch(row + 1, count, is.dists.data());
    for (uint32_t j = 0; j < count; ++j)
        if (std::isnan(is.dists[j])) fail_pair_nan(*inserting.inserting, n, node, row[j + 1]);
    // The set's rule-checked prefix is already nearest first; the members
    // appended after it and the new node are sorted, then both are merged
    // (marking which entries the prefix gave).
    size_t checked = diverse_of(node, layer);
    for (size_t j = 1; j < checked; ++j)
        if (!nearer({is.dists[j - 1], row[j]}, {is.dists[j], row[j + 1]})) checked = 0;
    std::vector<Cand>& rest = is.rest;
    rest.clear();
    for (size_t j = checked; j < count; ++j) rest.push_back({is.dists[j], row[j + 1]});
    rest.push_back({d_new, n});
    std::sort(rest.begin(), rest.end(), nearer);
    std::vector<Cand>& ranked = is.ranked;
    ranked.clear();
    is.checked.clear();
    for (size_t a = 0, r = 0; a < checked || r < rest.size();) {
        const bool take_prefix = r == rest.size() || (a < checked && nearer({is.dists[a], row[a + 1]}, rest[r]));
        ranked.push_back(take_prefix ? Cand{is.dists[a], row[a + 1]} : rest[r]);
        is.checked.push_back(take_prefix);
        if (take_prefix)
            ++a;
        else
            ++r;
    }
    const Copies copies = copies_of(node, inserting, n);
    const size_t at = is.pruned.size();
    select_diverse<true>(is, inserting, n, ranked.data(), ranked.size(), limit, is.pruned, is.checked.data(), &copies);
    is.changes.push_back({node, static_cast<uint32_t>(layer), Change::Set, 0, at, is.pruned.size() - at});
}

// Plans the new node n as one more copy of `twin`'s vector on `layer`: n
// joins the chain of copies next to the twin (at its end when the twin has
// room for another copy link, else between the twin and one of its copies,
// which then link to n instead of to each other), so that every copy keeps
// a link from the chain. n's other links are the twin's links that leave
// the copies, which serve n as well as they serve the twin.
void HNSWIndex::plan_copy(InsertScratch& is, const Metric& inserting, const Copies& copies, uint32_t n, Cand twin,
                          size_t layer, size_t limit, size_t& need) const {
    using Change = InsertScratch::Change;
    const uint32_t p = twin.idx;
    is.copied.push_back(p);
    const uint32_t* row = links_of(p, layer);
    const size_t count = row[0];
    is.dists.resize(count);
    inserting.batch(row + 1, count, is.dists.data());
    std::vector<uint8_t>& copy = is.checked;  // per member of the twin's set: a copy of n
    copy.assign(count, 0);
    size_t twins = 0, q_at = 0;
    for (size_t j = 0; j < count; ++j) {
        if (std::isnan(is.dists[j])) fail_pair_nan(*inserting.inserting, n, n, row[j + 1]);
        copy[j] = copies({is.dists[j], row[j + 1]});
        if (copy[j] && twins++ == 0) q_at = j;
    }
    const size_t links = std::min(kCopyLinks, limit);
    const bool between = twins >= links;  // else the twin ends its chain (or is alone): n goes on after it
    const uint32_t q = between ? row[q_at + 1] : 0;
    const float q_d = between ? is.dists[q_at] : 0.0f;
    const size_t begin = is.chosen.size();
    if (!between || links > 1) is.chosen.push_back(p);
    if (between) is.chosen.push_back(q);
    for (size_t j = 0; j < count && is.chosen.size() - begin < limit; ++j)
        if (!copy[j]) is.chosen.push_back(row[j + 1]);

    const uint32_t l32 = static_cast<uint32_t>(layer);
    if (!between) {
        plan_link(is, inserting, n, p, layer, twin.d, limit, need);
        return;
    }
    is.changes.push_back({p, l32, Change::Replace, q, 0, 0});
    if (links < 2) return;
    const uint32_t* qrow = links_of(q, layer);
    if (std::find(qrow + 1, qrow + 1 + qrow[0], p) != qrow + 1 + qrow[0])
        is.changes.push_back({q, l32, Change::Replace, p, 0, 0});
    else
        plan_link(is, inserting, n, q, layer, q_d, limit, need);
}

void HNSWIndex::add(std::string_view id, FloatSpan vector) {
    const size_t dim = dimension();
    if (vector.size() != dim) throw CoreError::add_dimension_mismatch(dim, vector.size());
    if (id_to_idx_.find(id, id_key()) != IdTable::kNone) throw CoreError::duplicate_record(id);
    if (slots() >= std::numeric_limits<uint32_t>::max())
        throw CoreError::capacity_exceeded(slots(), std::numeric_limits<uint32_t>::max());

    const kernels::KernelSet& ks = kernels::active();
    const DistanceType type = distance_type();
    const size_t level = draw_level();
    const uint32_t n = static_cast<uint32_t>(slots());
    const float norm = std::sqrt(ks.sum_squares(vector.data(), dim));

    // Phase 1: find the new node's neighbours and how every affected set
    // changes, without touching the graph. A failure here (a NaN distance)
    // leaves the index as it was. All working lists live in per-thread
    // scratch buffers, reused from call to call.
    Scratch& sc = scratch();
    InsertScratch& is = sc.insert;
    is.chosen.clear();
    is.chosen_end.clear();
    is.changes.clear();
    is.pruned.clear();
    is.copied.clear();
    const size_t top = entry_point_ ? std::min(level, max_level_) : 0;
    size_t need0 = 0, need_upper = 0;
    if (entry_point_) {
        const Metric metric{*this, vector, norm, type, ks, &id};
        std::vector<Cand>& w = is.w;
        uint32_t e = *entry_point_;
        for (size_t l = max_level_; l > level; --l) {
            search_layer(sc, metric, e, 1, l, w);
            if (!w.empty()) e = w.front().idx;
        }
        is.chosen_end.resize(top + 1);
        is.chosen_checked.assign(top + 1, 0);
        const Copies copies(*this, metric, n, norm);
        for (size_t l = top + 1; l-- > 0;) {
            search_layer(sc, metric, e, config_.ef_construction, l, w, Walk::OneCopy);
            const size_t limit = l == 0 ? config_.m_max0 : config_.m;
            const size_t begin = is.chosen.size();
            size_t& need = l == 0 ? need0 : need_upper;
            const Cand* twin = nullptr;
            // The first copy found, a head of copies if there is one.
            for (size_t i = 0; i < w.size() && limit > 0; ++i)
                if (copies.near(w[i]) && copies(w[i]) && (!twin || (flags_[w[i].idx] & kHead))) {
                    twin = &w[i];
                    if (flags_[twin->idx] & kHead) break;
                }
            if (twin) {
                plan_copy(is, metric, copies, n, *twin, l, limit, need);
            } else {
                select_diverse<false>(is, metric, n, w.data(), w.size(), limit, is.chosen);
                is.chosen_checked[l] = static_cast<uint8_t>(std::min<size_t>(is.chosen.size() - begin, 255));
                // Each chosen node links back to the new one, at the distance the layer search found.
                for (size_t i = begin, wi = 0; i < is.chosen.size(); ++i) {
                    while (w[wi].idx != is.chosen[i]) ++wi;
                    if (levels_[is.chosen[i]] >= l) plan_link(is, metric, n, is.chosen[i], l, w[wi].d, limit, need);
                }
            }
            is.chosen_end[l] = is.chosen.size();
            need = std::max(need, is.chosen.size() - begin);
            if (!w.empty()) e = w.front().idx;
        }
    }

    // Phase 2: reserve every buffer (failures here change nothing visible),
    // then register the id; after that nothing can fail.
    const size_t slots_after = size_t{n} + 1;
    if (upper_.rows() + level > std::numeric_limits<uint32_t>::max())
        throw CoreError::capacity_exceeded(upper_.rows(), std::numeric_limits<uint32_t>::max());
    vectors_.reserve(slots_after);
    if (type == DistanceType::Cosine) norms_.reserve(slots_after);
    id_at_.reserve(slots_after);
    levels_.reserve(slots_after);
    flags_.reserve(slots_after);
    upper_base_.reserve(slots_after);
    layer0_.ensure_stride(need0);
    upper_.ensure_stride(need_upper);
    layer0_.reserve_rows(slots_after);
    upper_.reserve_rows(upper_.rows() + level);
    id_to_idx_.reserve(id_to_idx_.size() + 1, id_key());
    const uint32_t id_at = ids_.store(id);

    // Phase 3: commit.
    vectors_.push_back(vector.data());
    if (type == DistanceType::Cosine) norms_.push_back(&norm);
    id_at_.push_back(&id_at);
    const uint8_t lvl = static_cast<uint8_t>(level);
    levels_.push_back(&lvl);
    const uint8_t flags = is.copied.empty() ? kLive : kLive | kCopied;
    flags_.push_back(&flags);
    // A node that gets its first copy heads its copies from then on.
    for (uint32_t p : is.copied) flags_[p] |= (flags_[p] & kCopied) ? kCopied : kCopied | kHead;
    const uint32_t base = static_cast<uint32_t>(upper_.rows());
    upper_base_.push_back(&base);
    id_to_idx_.insert(id, n);
    layer0_.add_rows(1);
    upper_.add_rows(level);
    for (size_t l = 0; l < is.chosen_end.size(); ++l) {
        // Layers were chosen top down, so layer l's members precede layer l-1's.
        const size_t end = is.chosen_end[l];
        const size_t from = l + 1 < is.chosen_end.size() ? is.chosen_end[l + 1] : 0;
        uint32_t* row = links_of(n, l);
        row[0] = static_cast<uint32_t>(end - from);
        diverse_of(n, l) = is.chosen_checked[l];
        std::copy(is.chosen.begin() + static_cast<ptrdiff_t>(from), is.chosen.begin() + static_cast<ptrdiff_t>(end),
                  row + 1);
    }
    for (const InsertScratch::Change& change : is.changes) {
        uint32_t* row = links_of(change.node, change.layer);
        if (change.kind == InsertScratch::Change::Append) {
            row[++row[0]] = n;
        } else if (change.kind == InsertScratch::Change::Replace) {
            // A copy taking another's place: the set's order and rule checks stand.
            std::replace(row + 1, row + 1 + row[0], change.old, n);
        } else {
            row[0] = static_cast<uint32_t>(change.size);
            diverse_of(change.node, change.layer) = static_cast<uint8_t>(std::min<size_t>(change.size, 255));
            std::copy_n(is.pruned.begin() + static_cast<ptrdiff_t>(change.begin), change.size, row + 1);
        }
    }
    if (!entry_point_ || level > max_level_) {
        entry_point_ = n;
        max_level_ = level;
    }
}

std::vector<SearchResult> HNSWIndex::search(FloatSpan query, size_t k) const {
    const size_t dim = dimension();
    if (query.size() != dim) throw CoreError::query_dimension_mismatch(dim, query.size());
    if (id_to_idx_.size() == 0 || k == 0) return {};

    const kernels::KernelSet& ks = kernels::active();
    const DistanceType type = distance_type();
    const Metric metric{*this, query, std::sqrt(ks.sum_squares(query.data(), dim)), type, ks, nullptr};
    Scratch& sc = scratch();
    std::vector<Cand> w;
    uint32_t e = *entry_point_;
    for (size_t l = max_level_; l >= 1; --l) {
        search_layer(sc, metric, e, 1, l, w);
        if (!w.empty()) e = w.front().idx;
    }
    search_layer(sc, metric, e, config_.ef_search, 0, w, Walk::LiveResults);

    std::vector<SearchResult> out;
    out.reserve(std::min(k, w.size()));
    for (const Cand& c : w) {
        if (out.size() == k) break;
        if (!(flags_[c.idx] & kLive)) continue;
        float distance = c.d;
        if (type == DistanceType::InnerProduct) distance = -c.d;
        if (type == DistanceType::Cosine) distance = 1.0f - c.d;
        out.push_back(SearchResult{std::string(id_of(c.idx)), distance, score_of(type, distance)});
    }
    return out;
}

bool HNSWIndex::remove(std::string_view id) {
    const uint32_t i = id_to_idx_.erase(id, id_key());
    if (i == IdTable::kNone) return false;
    // The node stays in the graph as a waypoint: its vector and every link
    // to and from it are kept, so removing many nodes does not cut the live
    // ones apart; searches walk through it but never report it. Components
    // that are not finite become 0, so that distances to it stay ordered.
    const size_t dim = dimension();
    float* row = vectors_.row(i);
    bool changed = false;
    for (size_t j = 0; j < dim; ++j)
        if (!std::isfinite(row[j])) {
            row[j] = 0.0f;
            changed = true;
        }
    if (changed) {
        if (distance_type() == DistanceType::Cosine) norms_[i] = std::sqrt(kernels::active().sum_squares(row, dim));
        // Its distances changed: no set's earlier rule checks can be trusted.
        for (Links* links : {&layer0_, &upper_})
            for (size_t r = 0; r < links->rows(); ++r) links->diverse[r] = 0;
    }
    flags_[i] &= static_cast<uint8_t>(~kLive);
    return true;
}

bool HNSWIndex::contains(std::string_view id) const { return id_to_idx_.find(id, id_key()) != IdTable::kNone; }

}  // namespace halyard
