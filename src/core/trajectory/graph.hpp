// Conversations as graphs of turns: episodes (nodes), the trajectory graph
// that holds them, and the walks every conversation structure builds on.
//
// The graph is meant to be acyclic, but nothing stops a caller from giving
// edges that close a cycle, or from attaching one turn under two parents.
// Every walk below therefore visits each node at most once (a visited set,
// an "open" mark or a step bound) and never recurses, so a cycle or a
// million-turn line is always safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/hash.hpp"

namespace halyard {

using NodeId = uint64_t;

// Kind of edge a caller may supply; the graph keeps only parent/child links.
enum class EdgeType : uint8_t { Continuation = 0, Regeneration = 1, Branch = 2 };

// One turn of a conversation.
struct Episode {
    std::optional<NodeId> parent;
    std::vector<NodeId> children;  // in the order they were attached
    NodeId id = 0;
    uint64_t content_length = 0;
    int64_t created_at = 0;
    float weight = 1.0f;
    bool has_thumbs_up = false;
    bool has_thumbs_down = false;
    bool has_error = false;

    static Episode with_id(NodeId id) {
        Episode e;
        e.id = id;
        return e;
    }

    bool is_leaf() const noexcept { return children.empty(); }
    bool is_root() const noexcept { return !parent.has_value(); }
    bool is_branch_point() const noexcept { return children.size() > 1; }
};

using Edge = std::tuple<NodeId, NodeId, EdgeType>;

// The nodes of a depth-first walk over children links.
struct SubtreeWalk {
    std::vector<NodeId> order;  // visiting order, each node once
    HashSet<NodeId> members;    // the same nodes, for membership tests
    size_t revisits = 0;        // pops of nodes already visited (0 => the walk covered a tree)
};

class TrajectoryGraph {
public:
    // Builds a graph from edges in list order. A repeated edge adds the child
    // once; a later edge to the same child replaces its parent while the
    // child stays in the earlier parent's children. Edge types are ignored.
    static TrajectoryGraph from_edges(const std::vector<Edge>& edges);

    // Stores a copy of `episode` under its id, replacing any episode there.
    // Neither the parent's children nor the roots/leaves snapshots change.
    void add_node(Episode episode);

    const Episode* find(NodeId id) const noexcept {
        auto it = nodes_.find(id);
        return it == nodes_.end() ? nullptr : &it->second;
    }
    bool contains(NodeId id) const noexcept { return nodes_.count(id) != 0; }
    size_t node_count() const noexcept { return nodes_.size(); }
    const HashMap<NodeId, Episode>& nodes() const noexcept { return nodes_; }

    // Snapshots taken by the last recompute (end of from_edges).
    const std::vector<NodeId>& roots() const noexcept { return roots_; }
    const std::vector<NodeId>& leaves() const noexcept { return leaves_; }
    bool is_root_in_snapshot(NodeId id) const noexcept;

    bool is_branch_point(NodeId id) const noexcept {
        const Episode* e = find(id);
        return e && e->is_branch_point();
    }
    std::vector<std::pair<NodeId, std::vector<NodeId>>> find_branch_points() const;

    void recompute_roots_and_leaves();

    // Depth-first from `start` with an explicit stack: pop the last entry,
    // skip it when already visited, else record it and push its children in
    // stored order (so the last child is visited first).
    SubtreeWalk subtree(NodeId start) const;

    // The path from the root down to `id` through parent links, root first.
    // Empty when `id` or a node on the way is missing, or when the parent
    // links run into a cycle before reaching a node without parent.
    std::vector<NodeId> path_to_root(NodeId id) const;

private:
    std::vector<NodeId> roots_;
    std::vector<NodeId> leaves_;
    HashMap<NodeId, Episode> nodes_;
};

// Depths of nodes (length of the path to the root minus 1), memoised so that
// the depths of all nodes of a graph cost linear time in total: each node is
// climbed over at most once per memo. A node without a path (missing on the
// way, or its parent links end in a cycle) has no depth. Valid while the
// graph is unchanged.
class DepthMemo {
public:
    explicit DepthMemo(const TrajectoryGraph& graph) : graph_(graph) {}

    std::optional<uint32_t> depth(NodeId id);
    uint32_t depth_or_zero(NodeId id) { return depth(id).value_or(0); }

private:
    static constexpr int64_t kNoPath = -1;
    static constexpr int64_t kOpen = -2;  // on the climb in progress

    const TrajectoryGraph& graph_;
    HashMap<NodeId, int64_t> memo_;
    std::vector<int64_t*> climb_;  // memo entries of the climb in progress (addresses are stable)
};

// Among the entries of `nodes` that exist and have no children, the deepest
// one, the later entry winning on equal depth (no path counts as depth 0);
// the first entry when there is none. `nodes` must not be empty.
NodeId deepest_leaf(const TrajectoryGraph& graph, const std::vector<NodeId>& nodes, DepthMemo& depths);

}  // namespace halyard
