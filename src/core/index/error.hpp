// The error type shared by the indexes, the registry and the store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/errors.hpp"

namespace halyard {

class CoreError : public Error {
public:
    enum class Kind {
        IndexNotFound,
        DuplicateIndex,
        DimensionMismatch,
        IndexBuildFailed,
        IndexCorrupted,
        CapacityExceeded,
        InvalidQuery,
        QueryTimeout,
        FilterEvaluationFailed,
        RecordNotFound,
        DuplicateRecord,
        SerializationFailed,
        WalWriteFailed,
        WalRecoveryFailed,
        MemoryLimitExceeded,
        Io,
    };

    Kind kind() const noexcept { return kind_; }

    static CoreError index_not_found(std::string_view name) { return {Kind::IndexNotFound, "Index not found: ", name}; }
    static CoreError duplicate_index(std::string_view name) { return {Kind::DuplicateIndex, "Duplicate index: ", name}; }
    static CoreError dimension_mismatch(uint64_t expected, uint64_t got) {
        return {Kind::DimensionMismatch, "Dimension mismatch: expected " + std::to_string(expected) + ", got ",
                std::to_string(got)};
    }
    static CoreError index_build_failed(std::string_view t) { return {Kind::IndexBuildFailed, "Index build failed: ", t}; }
    static CoreError index_corrupted(std::string_view t) { return {Kind::IndexCorrupted, "Index corrupted: ", t}; }
    static CoreError capacity_exceeded(uint64_t current, uint64_t maximum) {
        return {Kind::CapacityExceeded, "Index capacity exceeded: " + std::to_string(current) + "/",
                std::to_string(maximum)};
    }
    static CoreError invalid_query(std::string_view t) { return {Kind::InvalidQuery, "Invalid query: ", t}; }
    static CoreError query_timeout(uint64_t elapsed_ms, uint64_t budget_ms) {
        return {Kind::QueryTimeout, "Query timeout after " + std::to_string(elapsed_ms) + "ms (budget: ",
                std::to_string(budget_ms) + "ms)"};
    }
    static CoreError filter_evaluation_failed(std::string_view t) {
        return {Kind::FilterEvaluationFailed, "Filter evaluation failed: ", t};
    }
    static CoreError record_not_found(std::string_view id) { return {Kind::RecordNotFound, "Record not found: ", id}; }
    static CoreError duplicate_record(std::string_view id) { return {Kind::DuplicateRecord, "Duplicate record: ", id}; }
    static CoreError serialization_failed(std::string_view t) {
        return {Kind::SerializationFailed, "Serialization failed: ", t};
    }
    static CoreError wal_write_failed(std::string_view t) { return {Kind::WalWriteFailed, "WAL write failed: ", t}; }
    static CoreError wal_recovery_failed(std::string_view t) {
        return {Kind::WalRecoveryFailed, "WAL recovery failed: ", t};
    }
    static CoreError memory_limit_exceeded(uint64_t used, uint64_t limit) {
        return {Kind::MemoryLimitExceeded, "Memory limit exceeded: " + std::to_string(used) + "/",
                std::to_string(limit) + " bytes"};
    }
    static CoreError io(std::string_view t) { return {Kind::Io, "IO error: ", t}; }

    // The two dimension texts carried by InvalidQuery.
    static CoreError add_dimension_mismatch(uint64_t expected, uint64_t got) {
        return invalid_query("Dimension mismatch: expected " + std::to_string(expected) + ", got " +
                             std::to_string(got));
    }
    static CoreError query_dimension_mismatch(uint64_t expected, uint64_t got) {
        return invalid_query("Query dimension mismatch: expected " + std::to_string(expected) + ", got " +
                             std::to_string(got));
    }

private:
    CoreError(Kind kind, std::string_view prefix, std::string_view payload)
        : Error(std::string(prefix) + std::string(payload)), kind_(kind) {}

    Kind kind_;
};

}  // namespace halyard
