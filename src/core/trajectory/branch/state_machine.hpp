// The branch state machine: cuts a trajectory graph into branches (maximal
// runs of turns on one line of the conversation) and reshapes them by split,
// merge, traverse and archive, logging every successful change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "common/errors.hpp"
#include "runtime/hash.hpp"
#include "trajectory/graph.hpp"

namespace halyard {

using BranchId = uint64_t;

enum class BranchStatus : uint8_t { Active = 0, Archived = 1, Merged = 2, Recovered = 3, Orphaned = 4 };

const char* branch_status_name(BranchStatus status) noexcept;

// Errors of the machine; the message is the whole text shown to callers.
class BranchError : public Error {
public:
    using Error::Error;

    static BranchError branch_not_found(BranchId id) { return BranchError("Branch " + std::to_string(id) + " not found"); }
    static BranchError node_not_found(NodeId id) { return BranchError("Node " + std::to_string(id) + " not found"); }
    static BranchError cycle() { return BranchError("Operation would create a cycle"); }
    static BranchError cannot_split_root() { return BranchError("Cannot split the root node"); }
    static BranchError already_merged(BranchId id) {
        return BranchError("Branch " + std::to_string(id) + " is already merged");
    }
    static BranchError invalid_branch_id(BranchId id) { return BranchError("Invalid branch ID: " + std::to_string(id)); }
    static BranchError self_merge() { return BranchError("Cannot merge branch with itself"); }
    static BranchError no_parent(BranchId id) { return BranchError("Branch " + std::to_string(id) + " has no parent"); }
    static BranchError invalid_state(const std::string& message) { return BranchError("Invalid state: " + message); }
};

struct Branch {
    std::optional<BranchId> parent_branch;
    std::vector<BranchId> child_branches;  // in creation order
    std::vector<NodeId> nodes;
    std::optional<std::string> label;
    BranchId id = 0;
    NodeId fork_point = 0;
    NodeId head = 0;
    uint64_t created_at = 0;
    uint64_t updated_at = 0;
    BranchStatus status = BranchStatus::Active;

    // A new active branch whose only node is `head`.
    static Branch make(BranchId id, NodeId fork_point, NodeId head, uint64_t now);

    bool is_active() const noexcept { return status == BranchStatus::Active; }
    bool is_root() const noexcept { return !parent_branch.has_value(); }
    bool is_merged() const noexcept { return status == BranchStatus::Merged; }
};

// A fork met while building: the branches made for its children. The ids
// of one fork are consecutive, the i-th child of the fork node getting
// first_alternative + i (the graph of a machine never changes, so the
// children are those of the fork node in the machine's graph).
struct BranchPoint {
    std::optional<BranchId> selected;
    BranchId first_alternative = 0;
    uint64_t alternative_count = 0;
    NodeId node = 0;
    uint64_t created_at = 0;
    uint32_t depth = 0;

    BranchId alternative(size_t i) const noexcept { return first_alternative + i; }
};

struct SplitRecord {
    BranchId original;
    BranchId created;
    NodeId split_point;
};
struct MergeRecord {
    BranchId from;
    BranchId into;
    NodeId merge_point;
};
struct TraverseRecord {
    BranchId from;
    BranchId to;
};
struct ArchiveRecord {
    BranchId branch;
    std::optional<std::string> reason;
};
struct Operation {
    std::variant<SplitRecord, MergeRecord, TraverseRecord, ArchiveRecord> what;
    uint64_t at = 0;
};

// Where the conversation stands: a branch and the node at its head. The path
// from the root to that node and its depth follow from the graph, which never
// changes inside a machine, so they are derived when asked for.
struct Position {
    BranchId branch = 0;
    NodeId node = 0;
};

struct SplitResult {
    BranchId original;
    BranchId created;
    NodeId split_point;
    std::vector<NodeId> moved;
};

class BranchStateMachine {
public:
    // Builds the branches of a copy of `graph`, starting at its first root.
    static BranchStateMachine from_graph(const TrajectoryGraph& graph);

    SplitResult split(NodeId node);
    // Returns (target, merged, merge point).
    std::tuple<BranchId, BranchId, NodeId> merge(BranchId from, BranchId into);
    void traverse(BranchId target);
    void archive(BranchId branch, std::optional<std::string> reason);

    const Branch* current() const noexcept { return get_branch(current_); }
    const Branch* get_branch(BranchId id) const noexcept {
        auto it = branches_.find(id);
        return it == branches_.end() ? nullptr : &it->second;
    }
    std::vector<Branch> active_branches() const;
    std::vector<Branch> all_branches() const;
    size_t branch_count() const noexcept { return branches_.size(); }
    std::optional<BranchId> find_branch_for_node(NodeId node) const noexcept;
    std::vector<BranchId> child_branches(BranchId id) const;

    const TrajectoryGraph& graph() const noexcept { return graph_; }
    const HashMap<BranchId, Branch>& branches() const noexcept { return branches_; }
    const HashMap<NodeId, BranchPoint>& branch_points() const noexcept { return branch_points_; }
    const std::vector<Operation>& log() const noexcept { return log_; }
    const Position& position() const noexcept { return position_; }
    std::vector<NodeId> position_path() const { return graph_.path_to_root(position_.node); }
    uint32_t position_depth() const {
        const size_t n = position_path().size();
        return n == 0 ? 0 : static_cast<uint32_t>(n - 1);
    }
    BranchId current_id() const noexcept { return current_; }
    BranchId next_branch_id() const noexcept { return next_branch_id_; }

    // Whether some branch lists the node. The nodes of all branches together
    // are exactly the keys of the node-to-branch map: building places each
    // reachable node once and maps it, split and merge move or copy nodes
    // between branches and remap only nodes that are already mapped.
    bool is_tracked(NodeId node) const noexcept { return node_to_branch_.count(node) != 0; }

private:
    void assign_from(NodeId start, BranchId branch, uint32_t depth, uint64_t now);
    void set_position(BranchId branch);

    std::vector<Operation> log_;
    TrajectoryGraph graph_;
    Position position_;
    HashMap<BranchId, Branch> branches_;
    HashMap<NodeId, BranchPoint> branch_points_;
    HashMap<NodeId, BranchId> node_to_branch_;
    BranchId current_ = 0;
    BranchId next_branch_id_ = 1;
};

}  // namespace halyard
