// A rooted tree of turns answering ancestry queries by binary lifting.
//
// Nodes are added one at a time; preprocess() computes depths and the lifting
// table, after which lca, k-th ancestor, path and the ancestry tests work.
// Any successful add_node invalidates the table until the next preprocess().
//
// A node may name a parent that does not exist (yet): it is kept detached
// with its recorded parent. Such parents still appear in the lifting table,
// so an answer may name an id that is not a node of the tree. Detached nodes
// may name each other and form a cycle of recorded parents; every query
// still terminates. No walk recurses, so chains of any length are safe.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "runtime/hash.hpp"
#include "trajectory/coordinates.hpp"
#include "trajectory/ring.hpp"

namespace halyard {

class CoordinateTree {
public:
    explicit CoordinateTree(uint64_t capacity = 16);

    // False (and no change) when `id` already exists.
    bool add_node(NodeId id, std::optional<NodeId> parent, const TrajectoryCoordinate5D& coordinate);
    void preprocess();

    std::optional<NodeId> root() const;
    uint64_t len() const { return nodes_.size(); }
    bool is_empty() const { return nodes_.empty(); }
    bool is_preprocessed() const { return preprocessed_; }

    std::optional<uint64_t> depth(NodeId id) const;
    uint64_t max_depth() const { return max_depth_; }
    std::optional<NodeId> lca(NodeId a, NodeId b) const;
    std::optional<uint64_t> path_distance(NodeId a, NodeId b) const;
    std::optional<NodeId> kth_ancestor(NodeId node, uint64_t k) const;
    bool is_ancestor(NodeId a, NodeId b) const;
    bool is_descendant(NodeId a, NodeId b) const;
    std::optional<std::vector<NodeId>> path(NodeId a, NodeId b) const;
    std::vector<NodeId> nodes_at_depth(uint64_t depth) const;
    std::vector<NodeId> leaves() const;
    std::vector<NodeId> preorder() const;

private:
    // Nodes live in insertion order; the lifting table refers to them by
    // position. Positions at or above the node count stand for recorded
    // parents that are not nodes (listed in external_).
    using Slot = uint32_t;
    static constexpr Slot kNone = UINT32_MAX;

    struct Node {
        NodeId id = 0;
        std::optional<NodeId> parent;  // as given, even if absent
        uint64_t depth = 0;
        TrajectoryCoordinate5D coordinate;
        Slot first_child = kNone;  // children in insertion order
        Slot last_child = kNone;
        Slot next_sibling = kNone;
    };

    std::optional<Slot> slot_of(NodeId id) const;
    NodeId id_of(Slot s) const { return s < nodes_.size() ? nodes_[s].id : external_[s - nodes_.size()]; }
    Slot up(size_t level, Slot s) const { return s < nodes_.size() ? up_[level * nodes_.size() + s] : kNone; }
    Slot kth_slot(Slot s, uint64_t k) const;
    std::optional<Slot> lca_slot(NodeId a, NodeId b) const;

    std::vector<Node> nodes_;
    HashMap<NodeId, Slot> index_;
    std::optional<Slot> root_;
    uint64_t max_depth_ = 0;

    size_t levels_ = 1;
    std::vector<Slot> up_;           // levels_ x node count, level-major
    std::vector<NodeId> external_;   // recorded parents that are not nodes
    bool preprocessed_ = false;
};

}  // namespace halyard
