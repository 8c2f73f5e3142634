// Named vector indexes of either kind, side by side.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/types.hpp"
#include "runtime/hash.hpp"

namespace halyard {

class IndexRegistry {
public:
    struct SearchAll {
        std::vector<std::pair<std::string, std::vector<SearchResult>>> hits;  // one pair per searched index
        size_t total = 0;                                                    // hits over all pairs
    };

    // Registers `index` under `name`; a taken name fails with DuplicateIndex
    // and the new index is dropped.
    void register_index(std::string_view name, std::unique_ptr<VectorIndex> index);
    void register_flat(std::string_view name, size_t dimension);
    void register_hnsw(std::string_view name, size_t dimension, size_t m, size_t ef_construction);

    // Adds to the named index (IndexNotFound when there is none).
    void add(std::string_view name, std::string_view id, FloatSpan vector);
    // Searches every index whose dimension equals the query's length; the
    // first failure stops the whole search.
    SearchAll search_all(FloatSpan query, size_t k) const;

    bool remove(std::string_view name);
    bool contains(std::string_view name) const;
    size_t len() const noexcept { return indexes_.size(); }
    bool is_empty() const noexcept { return indexes_.empty(); }

private:
    HashMap<std::string, std::unique_ptr<VectorIndex>> indexes_;
};

}  // namespace halyard
