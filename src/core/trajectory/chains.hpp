// Many conversations at once: one branch state machine and one metadata
// record per chain, kept by string id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "runtime/hash.hpp"
#include "trajectory/branch/state_machine.hpp"
#include "trajectory/graph.hpp"

namespace halyard {

class ChainError : public Error {
public:
    using Error::Error;

    static ChainError not_found(const std::string& id) { return ChainError("Chain not found: " + id); }
    static ChainError exists(const std::string& id) { return ChainError("Chain already exists: " + id); }
    static ChainError maximum_reached() { return ChainError("Maximum number of chains reached"); }
    static ChainError branch(const BranchError& e) { return ChainError("Branch error: " + e.message()); }
    static ChainError invalid_operation(const std::string& message) {
        return ChainError("Invalid operation: " + message);
    }
};

struct ChainMetadata {
    std::string id;
    std::vector<std::string> tags;
    std::optional<std::string> title;
    uint64_t created_at = 0;
    uint64_t last_accessed_at = 0;
    uint64_t node_count = 0;
    uint64_t branch_count = 0;
    bool is_active = true;
};

// "chain_<unix seconds, hex>_<process-wide counter, hex, at least 4 digits>".
// Every call advances the counter, whether or not the id is then used.
std::string generate_chain_id();

class ChainManager {
public:
    static constexpr uint64_t kMaxChains = 1000;

    std::string create_chain(std::optional<std::string> id);
    std::string create_chain_from_graph(const TrajectoryGraph& graph, std::optional<std::string> id);

    const BranchStateMachine* get_chain(const std::string& id) const noexcept;
    const ChainMetadata* get_metadata(const std::string& id) const noexcept;
    bool contains(const std::string& id) const noexcept { return chains_.count(id) != 0; }
    std::vector<std::string> chain_ids() const;
    size_t chain_count() const noexcept { return chains_.size(); }
    const std::optional<std::string>& active_chain() const noexcept { return active_; }
    void set_active_chain(const std::string& id);
    const BranchStateMachine* active_chain_machine() const noexcept;

    bool delete_chain(const std::string& id);
    std::string split_chain(const std::string& id, NodeId node);
    void merge_chains(const std::string& from, const std::string& into);
    void deactivate_chain(const std::string& id);
    void reactivate_chain(const std::string& id);

    struct Stats {
        uint64_t total_chains = 0;
        uint64_t active_chains = 0;
        uint64_t total_nodes = 0;
        uint64_t total_branches = 0;
    };
    Stats stats() const;
    std::vector<std::string> find_by_tag(const std::string& tag) const;
    std::vector<std::string> find_by_title(const std::string& query) const;

private:
    std::string store(std::string id, BranchStateMachine machine);
    void refresh(const std::string& id);

    std::optional<std::string> active_;
    HashMap<std::string, BranchStateMachine> chains_;
    HashMap<std::string, ChainMetadata> metadata_;
};

}  // namespace halyard
