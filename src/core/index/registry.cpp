#include "index/registry.hpp"

#include "index/error.hpp"
#include "index/flat.hpp"
#include "index/hnsw.hpp"

namespace halyard {

void IndexRegistry::register_index(std::string_view name, std::unique_ptr<VectorIndex> index) {
    if (indexes_.find(name) != indexes_.end()) throw CoreError::duplicate_index(name);
    indexes_.emplace(std::string(name), std::move(index));
}

void IndexRegistry::register_flat(std::string_view name, size_t dimension) {
    register_index(name, std::make_unique<FlatIndex>(IndexConfig{dimension, DistanceType::L2, false}));
}

void IndexRegistry::register_hnsw(std::string_view name, size_t dimension, size_t m, size_t ef_construction) {
    register_index(name, std::make_unique<HNSWIndex>(
                             HNSWConfig::derived(dimension, DistanceType::L2, m, ef_construction)));
}

void IndexRegistry::add(std::string_view name, std::string_view id, FloatSpan vector) {
    auto it = indexes_.find(name);
    if (it == indexes_.end()) throw CoreError::index_not_found(name);
    it->second->add(id, vector);
}

IndexRegistry::SearchAll IndexRegistry::search_all(FloatSpan query, size_t k) const {
    SearchAll out;
    for (const auto& [name, index] : indexes_) {
        if (index->dimension() != query.size()) continue;
        std::vector<SearchResult> hits = index->search(query, k);
        out.total += hits.size();
        out.hits.emplace_back(name, std::move(hits));
    }
    return out;
}

bool IndexRegistry::remove(std::string_view name) {
    auto it = indexes_.find(name);
    if (it == indexes_.end()) return false;
    indexes_.erase(it);
    return true;
}

bool IndexRegistry::contains(std::string_view name) const { return indexes_.find(name) != indexes_.end(); }

}  // namespace halyard
