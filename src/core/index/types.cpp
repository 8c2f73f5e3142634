#include "index/types.hpp"

#include <cmath>
#include <limits>

namespace halyard {

HNSWConfig HNSWConfig::derived(size_t dimension, DistanceType type, size_t m, size_t ef_construction) {
    HNSWConfig c;
    c.base = IndexConfig{dimension, type, false};
    c.m = m;
    // Saturates instead of wrapping for absurdly large m.
    c.m_max0 = m > std::numeric_limits<size_t>::max() / 2 ? std::numeric_limits<size_t>::max() : 2 * m;
    c.ef_construction = ef_construction;
    c.ef_search = 128;
    c.ml = 1.0 / std::log(static_cast<double>(m));
    return c;
}

void VectorIndex::add_batch(std::span<const std::pair<std::string, std::vector<float>>> items) {
    for (const auto& [id, vector] : items) add(id, vector);
}

std::vector<SearchResult> VectorIndex::search_filtered(FloatSpan query, size_t k, const IdFilter& allowed) const {
    const size_t wide = k > std::numeric_limits<size_t>::max() / 10 ? std::numeric_limits<size_t>::max() : 10 * k;
    std::vector<SearchResult> hits = search(query, std::min(wide, len()));
    std::vector<SearchResult> out;
    for (SearchResult& hit : hits) {
        if (out.size() == k) break;
        if (allowed.find(std::string_view(hit.id)) != allowed.end()) out.push_back(std::move(hit));
    }
    return out;
}

const char* distance_type_name(DistanceType type) {
    switch (type) {
        case DistanceType::L2: return "L2";
        case DistanceType::InnerProduct: return "InnerProduct";
        case DistanceType::Cosine: return "Cosine";
    }
    return "L2";
}

}  // namespace halyard
