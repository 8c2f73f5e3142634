// Vector indexes: search results, distance types, the flat and HNSW indexes
// and the registry of named indexes.
#include <string_view>

#include "framework/format.hpp"
#include "index/flat.hpp"
#include "index/hnsw.hpp"
#include "index/registry.hpp"
#include "registry.hpp"

using halyard::FlatIndex;
using halyard::HNSWIndex;
using halyard::IndexRegistry;
using halyard::SearchResult;

namespace halyard::bind {

enum class DistanceTypePy : int { L2, Cosine, InnerProduct };

namespace {

// An id or name argument, read in place from the str's UTF-8 buffer (the
// argument object outlives the call), so short calls allocate nothing.
struct Text {
    std::string_view view;
};

DistanceType to_core(const std::optional<DistanceTypePy>& type) {
    if (!type) return DistanceType::L2;
    switch (*type) {
        case DistanceTypePy::L2: return DistanceType::L2;
        case DistanceTypePy::Cosine: return DistanceType::Cosine;
        case DistanceTypePy::InnerProduct: return DistanceType::InnerProduct;
    }
    return DistanceType::L2;
}

std::string size_repr(const char* head, size_t len, size_t dim) {
    return std::string(head) + "(len=" + std::to_string(len) + ", dim=" + std::to_string(dim) + ")";
}

}  // namespace

template <>
struct Caster<Text> {
    static Text load(PyObject* obj) {
        if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!text) throw_error_set();
        return Text{std::string_view(text, static_cast<size_t>(size))};
    }
};

}  // namespace halyard::bind

using halyard::bind::DistanceTypePy;
using Text = halyard::bind::Text;

HALYARD_CLASS(SearchResult, "SearchResult", "Python wrapper for SearchResult.",
              getter<[](const SearchResult& r) { return r.id; }>("id"),
              getter<[](const SearchResult& r) { return r.distance; }>("distance"),
              getter<[](const SearchResult& r) { return r.score; }>("score"),
              repr<[](const SearchResult& r) {
                  return "SearchResult(id='" + r.id + "', distance=" + fixed(r.distance, 4) +
                         ", score=" + fixed(r.score, 4) + ")";
              }>())

HALYARD_ENUM(DistanceTypePy, "DistanceType", "Distance metric type.", "L2", "Cosine", "InnerProduct")

HALYARD_CLASS(
    FlatIndex, "FlatIndex", "Python wrapper for FlatIndex (exact brute-force search).",
    init<[](uint64_t dimension, std::optional<DistanceTypePy> distance_type) {
        return FlatIndex(halyard::IndexConfig{dimension, to_core(distance_type), false});
    }>("(dimension, distance_type=None)"),
    method<[](FlatIndex& self, Text id, ArrayF32 vector) { self.add(id.view, vector.span()); }>(
        "add($self, id, vector)", "Add a vector to the index."),
    method<[](const FlatIndex& self, ArrayF32 query, uint64_t k) { return self.search(query.span(), k); }>(
        "search($self, query, k)", "Search for nearest neighbors."),
    method<[](FlatIndex& self, Text id) { return self.remove(id.view); }>("remove($self, id)",
                                                                          "Remove a vector from the index."),
    method<[](const FlatIndex& self, Text id) { return self.contains(id.view); }>("contains($self, id)",
                                                                                  "Check if ID exists in index."),
    method<[](const FlatIndex& self) { return self.is_empty(); }>("is_empty($self)", "Whether index is empty."),
    getter<[](const FlatIndex& self) { return uint64_t{self.len()}; }>("len", "Number of vectors in index."),
    getter<[](const FlatIndex& self) { return uint64_t{self.dimension()}; }>("dimension", "Vector dimension."),
    repr<[](const FlatIndex& self) { return size_repr("FlatIndex", self.len(), self.dimension()); }>())

HALYARD_CLASS(
    HNSWIndex, "HNSWIndex", "Python wrapper for HNSWIndex (approximate nearest neighbor).",
    init<[](uint64_t dimension, Opt<uint64_t> m, Opt<uint64_t> ef_construction,
            std::optional<DistanceTypePy> distance_type) {
        return HNSWIndex(halyard::HNSWConfig::derived(dimension, to_core(distance_type), std::move(m).value_or(16),
                                                      std::move(ef_construction).value_or(200)));
    }>("(dimension, m=16, ef_construction=200, distance_type=None)"),
    method<[](HNSWIndex& self, Text id, ArrayF32 vector) { self.add(id.view, vector.span()); }>(
        "add($self, id, vector)", "Add a vector to the index."),
    method<[](const HNSWIndex& self, ArrayF32 query, uint64_t k) { return self.search(query.span(), k); }>(
        "search($self, query, k)", "Search for nearest neighbors."),
    method<[](HNSWIndex& self, Text id) { return self.remove(id.view); }>("remove($self, id)",
                                                                          "Remove a vector from the index."),
    method<[](const HNSWIndex& self, Text id) { return self.contains(id.view); }>("contains($self, id)",
                                                                                  "Check if ID exists in index."),
    method<[](const HNSWIndex& self) { return self.is_empty(); }>("is_empty($self)", "Whether index is empty."),
    getter<[](const HNSWIndex& self) { return uint64_t{self.len()}; }>("len", "Number of vectors in index."),
    getter<[](const HNSWIndex& self) { return uint64_t{self.dimension()}; }>("dimension", "Vector dimension."),
    repr<[](const HNSWIndex& self) { return size_repr("HNSWIndex", self.len(), self.dimension()); }>())

HALYARD_CLASS(
    IndexRegistry, "IndexRegistry", "Python wrapper for IndexRegistry.",
    init<[] { return IndexRegistry{}; }>("()"),
    method<[](IndexRegistry& self, Text name, uint64_t dimension) { self.register_flat(name.view, dimension); }>(
        "register_flat($self, name, dimension)", "Register a FlatIndex by creating a new one with same config."),
    method<[](IndexRegistry& self, Text name, uint64_t dimension, uint64_t m, uint64_t ef_construction) {
        self.register_hnsw(name.view, dimension, m, ef_construction);
    }>("register_hnsw($self, name, dimension, m, ef_construction)", "Register an HNSWIndex by creating a new one."),
    method<[](IndexRegistry& self, Text index_name, Text id, ArrayF32 vector) {
        self.add(index_name.view, id.view, vector.span());
    }>("add($self, index_name, id, vector)", "Add a vector to a specific index."),
    method<[](IndexRegistry& self, Text name) { return self.remove(name.view); }>("remove($self, name)",
                                                                                  "Remove an index by name."),
    method<[](const IndexRegistry& self, Text name) { return self.contains(name.view); }>(
        "contains($self, name)", "Check if registry has an index."),
    method<[](const IndexRegistry& self, ArrayF32 query, uint64_t k) {
        auto found = self.search_all(query.span(), k);
        return Dict<std::vector<SearchResult>>{std::move(found.hits)};
    }>("search_all($self, query, k)", "Search all indexes."),
    method<[](const IndexRegistry& self) { return self.is_empty(); }>("is_empty($self)", "Whether registry is empty."),
    getter<[](const IndexRegistry& self) { return uint64_t{self.len()}; }>("len", "Number of registered indexes."),
    repr<[](const IndexRegistry& self) { return "IndexRegistry(indexes=" + std::to_string(self.len()) + ")"; }>())
