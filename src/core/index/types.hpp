// Vocabulary shared by every vector index: distance types, configurations,
// search results and the polymorphic index interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/hash.hpp"

namespace halyard {

using FloatSpan = std::span<const float>;

enum class DistanceType : uint8_t { L2, InnerProduct, Cosine };

struct IndexConfig {
    size_t dimension = 0;
    DistanceType distance_type = DistanceType::L2;
    bool normalize = false;  // flat index only: scale stored vectors and queries to unit length
};

struct HNSWConfig {
    IndexConfig base;
    size_t m = 16;          // neighbours per node on the layers above 0
    size_t m_max0 = 32;     // neighbours per node on layer 0
    size_t ef_construction = 200;
    size_t ef_search = 128;
    double ml = 0.0;        // probability of raising a node one more layer

    // The configuration every Python-built index uses: m_max0 = 2m,
    // ef_search = 128, ml = 1 / ln(m) (no validation of m).
    static HNSWConfig derived(size_t dimension, DistanceType type, size_t m, size_t ef_construction);
};

struct SearchResult {
    std::string id;
    float distance = 0.0f;  // Euclidean distance (L2) or similarity (InnerProduct, Cosine)
    float score = 0.0f;     // relevance in [0, 1]
};

// Reported values of a hit from its similarity-style value s: for L2 the
// score is 1 / (1 + s), otherwise s clamped to [0, 1].
inline float score_of(DistanceType type, float s) {
    if (type == DistanceType::L2) return 1.0f / (1.0f + s);
    if (s < 0.0f) return 0.0f;
    if (s > 1.0f) return 1.0f;
    return s;
}

// The allowed ids of a filtered search.
using IdFilter = HashSet<std::string>;

class VectorIndex {
public:
    virtual ~VectorIndex() = default;

    virtual void add(std::string_view id, FloatSpan vector) = 0;
    // Adds the pairs in order; the first failure is thrown and the pairs
    // before it stay added.
    void add_batch(std::span<const std::pair<std::string, std::vector<float>>> items);
    virtual std::vector<SearchResult> search(FloatSpan query, size_t k) const = 0;
    // Searches min(10k, len) hits and keeps the first k whose id is allowed.
    std::vector<SearchResult> search_filtered(FloatSpan query, size_t k, const IdFilter& allowed) const;
    virtual bool remove(std::string_view id) = 0;
    virtual bool contains(std::string_view id) const = 0;
    virtual size_t len() const = 0;
    bool is_empty() const { return len() == 0; }
    virtual size_t dimension() const = 0;
    virtual DistanceType distance_type() const = 0;
};

const char* distance_type_name(DistanceType type);

}  // namespace halyard
