// Outcome statistics, memory records and their store, and the query cache.
#include <cstring>

#include "cache/query_cache.hpp"
#include "framework/format.hpp"
#include "registry.hpp"
#include "stats/outcome_stats.hpp"
#include "store/memory_store.hpp"

using halyard::CacheStats;
using halyard::InMemoryStore;
using halyard::MemoryRecord;
using halyard::Metadata;
using halyard::MetadataValue;
using halyard::OutcomeStats;
using halyard::QueryCache;

namespace halyard::bind {

// A float32 vector read in place and handed to Python as a new array.
struct F32Copy {
    std::span<const float> data;
};

template <>
struct Caster<F32Copy> {
    static PyObject* cast(const F32Copy& v) { return new_f32_array(v.data.data(), v.data.size()); }
};

// Record metadata: a dict with str keys. Each value is kept as the first of
// str, signed 64-bit int, 64-bit float and bool it converts to (so True is
// stored as 1); a value that converts to none of them is left out.
template <>
struct Caster<Metadata> {
    static Metadata load(PyObject* obj) {
        if (!PyDict_Check(obj)) raise_cannot_convert(obj, "PyDict");
        // Iterate over a snapshot of the items: converting a value may run
        // Python code that changes the dict.
        Object items = Object::steal(PyDict_Items(obj));
        if (!items) throw_error_set();
        const Py_ssize_t n = PyList_Size(items.get());
        std::vector<std::pair<std::string, Object>> pairs;
        pairs.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GetItem(items.get(), i);  // borrowed (key, value) tuple
            pairs.emplace_back(Caster<std::string>::load(PyTuple_GetItem(item, 0)),
                               Object::borrow(PyTuple_GetItem(item, 1)));
        }
        Metadata out;
        for (auto& [key, value] : pairs)
            if (auto converted = convert_value(value.get())) out.set(std::move(key), std::move(*converted));
        return out;
    }

private:
    template <class T>
    static std::optional<T> attempt(PyObject* value) {
        try {
            return Caster<T>::load(value);
        } catch (const PyErrorSet&) {
            PyErr_Clear();
            return std::nullopt;
        }
    }

    static std::optional<MetadataValue> convert_value(PyObject* value) {
        if (PyUnicode_Check(value)) {
            if (auto s = attempt<std::string>(value)) return MetadataValue(std::move(*s));
        }
        if (auto i = attempt<int64_t>(value)) return MetadataValue(*i);
        if (auto d = attempt<double>(value)) return MetadataValue(*d);
        if (auto b = attempt<bool>(value)) return MetadataValue(*b);
        return std::nullopt;
    }
};

}  // namespace halyard::bind

namespace {

using halyard::bind::F32Copy;
using halyard::bind::fixed;
using halyard::bind::NdArray;

std::optional<NdArray> array_if(bool present, std::span<const float> values) {
    if (!present) return std::nullopt;
    return NdArray{std::vector<float>(values.begin(), values.end())};
}

std::optional<NdArray> array_of(std::optional<std::vector<float>> values) {
    if (!values) return std::nullopt;
    return NdArray{std::move(*values)};
}

}  // namespace

HALYARD_CLASS(
    OutcomeStats, "OutcomeStats", "Python wrapper for OutcomeStats (Welford's algorithm).",
    init<[](Opt<uint64_t> dim) { return OutcomeStats(static_cast<size_t>(std::move(dim).value_or(1))); }>("(dim=1)"),
    method<[](OutcomeStats& s, ArrayF32 outcome) { s.update(outcome.span()); }>(
        "update($self, outcome)", "Update statistics with a new observation."),
    method<[](OutcomeStats& s, float value) { s.update_scalar(value); }>("update_scalar($self, value)",
                                                                         "Update with a scalar value."),
    method<[](const OutcomeStats& s, const OutcomeStats& other) { return s.merge(other); }>(
        "merge($self, other)", "Merge with another OutcomeStats."),
    method<[](const OutcomeStats& s, float confidence)
               -> std::optional<std::pair<NdArray, NdArray>> {
        auto interval = s.confidence_interval(confidence);
        if (!interval) return std::nullopt;
        return std::pair{NdArray{std::move(interval->first)}, NdArray{std::move(interval->second)}};
    }>("confidence_interval($self, confidence)", "Confidence interval for the mean."),
    getter<[](const OutcomeStats& s) { return s.count(); }>("count", "Number of observations."),
    getter<[](const OutcomeStats& s) { return static_cast<uint64_t>(s.dim()); }>("dim",
                                                                                 "Dimension of outcome vectors."),
    getter<[](const OutcomeStats& s) { return array_if(s.count() > 0, s.mean()); }>("mean", "Current mean estimate."),
    getter<[](const OutcomeStats& s) { return s.mean_scalar(); }>("mean_scalar", "Scalar mean (for 1D stats)."),
    getter<[](const OutcomeStats& s) { return array_of(s.variance()); }>("variance", "Population variance."),
    getter<[](const OutcomeStats& s) { return array_of(s.std_dev()); }>("std", "Population standard deviation."),
    getter<[](const OutcomeStats& s) { return array_if(s.count() > 0, s.min()); }>("min", "Minimum observed values."),
    getter<[](const OutcomeStats& s) { return array_if(s.count() > 0, s.max()); }>("max", "Maximum observed values."),
    repr<[](const OutcomeStats& s) {
        return "OutcomeStats(count=" + std::to_string(s.count()) + ", dim=" + std::to_string(s.dim()) + ")";
    }>())

HALYARD_CLASS(
    MemoryRecord, "MemoryRecord", "Python wrapper for MemoryRecord.",
    init<[](std::string id, ArrayF32 embedding, std::string context, double outcome,
            std::optional<Metadata> metadata) {
        auto values = embedding.span();
        return MemoryRecord::create(std::move(id), std::vector<float>(values.begin(), values.end()),
                                    std::move(context), outcome, std::move(metadata).value_or(Metadata{}));
    }>("(id, embedding, context, outcome, metadata=None)"),
    getter<[](const MemoryRecord& r) { return r.id; }>("id", "Record ID."),
    getter<[](const MemoryRecord& r) { return F32Copy{r.embedding}; }>("embedding", "Primary embedding."),
    getter<[](const MemoryRecord& r) { return static_cast<uint64_t>(r.dim()); }>("dim", "Embedding dimension."),
    getter<[](const MemoryRecord& r) { return r.context; }>("context", "Context string."),
    getter<[](const MemoryRecord& r) { return r.outcome; }>("outcome", "Outcome value."),
    getter<[](const MemoryRecord& r) { return r.created_at; }>("created_at", "Creation timestamp (Unix seconds)."),
    getter<[](const MemoryRecord& r) { return r.stats; }>("stats", "Outcome statistics."),
    repr<[](const MemoryRecord& r) {
        return "MemoryRecord(id='" + r.id + "', dim=" + std::to_string(r.dim()) + ", outcome=" + fixed(r.outcome, 3) +
               ")";
    }>())

HALYARD_CLASS(
    InMemoryStore, "InMemoryStore", "Python wrapper for InMemoryStore.",
    init<[] { return InMemoryStore(); }>("()"),
    method<[](InMemoryStore& s, const MemoryRecord& record) { s.insert(record); }>("insert($self, record)",
                                                                                   "Insert a record."),
    method<[](const InMemoryStore& s, std::string id) { return s.get(id); }>("get($self, id)", "Get a record by ID."),
    method<[](InMemoryStore& s, std::string id, float outcome) { s.update_stats(id, outcome); }>(
        "update_stats($self, id, outcome)", "Update outcome statistics for a record."),
    method<[](InMemoryStore& s, std::string id) { return s.remove(id); }>("remove($self, id)", "Remove a record."),
    method<[](const InMemoryStore& s, std::string id) { return s.contains(id); }>("contains($self, id)",
                                                                                  "Check if record exists."),
    method<[](const InMemoryStore& s) { return s.ids(); }>("ids($self)", "Get all record IDs."),
    method<[](const InMemoryStore& s) { return s.is_empty(); }>("is_empty($self)", "Whether store is empty."),
    getter<[](const InMemoryStore& s) { return static_cast<uint64_t>(s.len()); }>("len", "Number of records."),
    getter<[](const InMemoryStore& s) { return s.memory_bytes(); }>("memory_bytes",
                                                                    "Estimated memory usage in bytes."),
    repr<[](const InMemoryStore& s) { return "InMemoryStore(records=" + std::to_string(s.len()) + ")"; }>())

HALYARD_CLASS(
    QueryCache, "QueryCache", "Python wrapper for QueryCache.",
    init<[](Opt<uint64_t> max_entries, Opt<uint64_t> ttl_seconds) {
        return QueryCache(std::move(max_entries).value_or(10000), std::move(ttl_seconds).value_or(300));
    }>("(max_entries=10000, ttl_seconds=300)"),
    // The cache guards its contents with its own locks, so Python callers borrow
    // it shared even for the operations that remove entries.
    method<[](const QueryCache& c) { const_cast<QueryCache&>(c).clear(); }>("clear($self)",
                                                                            "Clear all cached entries."),
    method<[](const QueryCache& c) { const_cast<QueryCache&>(c).cleanup_expired(); }>("cleanup_expired($self)",
                                                                                      "Remove expired entries."),
    method<[](const QueryCache& c) { return c.stats(); }>("stats($self)", "Get cache statistics."),
    method<[](const QueryCache& c) { return c.is_empty(); }>("is_empty($self)", "Whether cache is empty."),
    getter<[](const QueryCache& c) { return static_cast<uint64_t>(c.len()); }>("len",
                                                                              "Current number of cached entries."),
    repr<[](const QueryCache& c) {
        const CacheStats s = c.stats();
        return "QueryCache(entries=" + std::to_string(s.entries) + ", hit_ratio=" + fixed(s.hit_percentage(), 2) +
               "%)";
    }>())

HALYARD_CLASS(
    CacheStats, "CacheStats", "Python wrapper for CacheStats.",
    getter<[](const CacheStats& s) { return s.hits; }>("hits"),
    getter<[](const CacheStats& s) { return s.misses; }>("misses"),
    getter<[](const CacheStats& s) { return s.entries; }>("entries"),
    getter<[](const CacheStats& s) { return s.evictions; }>("evictions"),
    getter<[](const CacheStats& s) { return s.expirations; }>("expirations"),
    method<[](const CacheStats& s) { return s.hit_ratio(); }>("hit_ratio($self)", "Hit ratio (0.0 - 1.0)."),
    repr<[](const CacheStats& s) {
        return "CacheStats(hits=" + std::to_string(s.hits) + ", misses=" + std::to_string(s.misses) +
               ", hit_ratio=" + fixed(s.hit_percentage(), 2) + "%)";
    }>())
