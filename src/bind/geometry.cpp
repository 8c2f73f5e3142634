// The coordinate tree and conservation metrics.
#include <optional>
#include <string>
#include <vector>

#include "framework/format.hpp"
#include "registry.hpp"
#include "trajectory/conservation.hpp"
#include "trajectory/coordinate_tree.hpp"

namespace core = halyard;
using core::ConservationMetrics;
using core::CoordinateTree;
using TC5 = core::TrajectoryCoordinate5D;

HALYARD_CLASS(
    CoordinateTree, "CoordinateTree", "Coordinate tree with O(log n) LCA queries via binary lifting.",
    init<[](Opt<uint64_t> capacity) { return CoordinateTree(std::move(capacity).value_or(16)); }>("(capacity=16)"),
    method<[](CoordinateTree& self, uint64_t id, std::optional<uint64_t> parent, const TC5& coordinate) {
        return self.add_node(id, parent, coordinate);
    }>("add_node($self, id, parent, coordinate)", "Add a node to the tree."),
    method<[](CoordinateTree& self) { self.preprocess(); }>(
        "preprocess($self)", "Preprocess the tree for LCA queries (must call after adding nodes)."),
    getter<[](const CoordinateTree& self) { return self.root(); }>("root", "Get the root node ID."),
    getter<[](const CoordinateTree& self) { return self.len(); }>("len", "Number of nodes in tree."),
    method<[](const CoordinateTree& self) { return self.is_empty(); }>("is_empty($self)", "Check if tree is empty."),
    method<[](const CoordinateTree& self, uint64_t id) { return self.depth(id); }>("depth($self, id)",
                                                                                   "Get depth of a node."),
    method<[](const CoordinateTree& self) { return self.max_depth(); }>("max_depth($self)", "Maximum depth in tree."),
    method<[](const CoordinateTree& self, uint64_t a, uint64_t b) { return self.lca(a, b); }>(
        "lca($self, a, b)", "Compute Lowest Common Ancestor of two nodes."),
    method<[](const CoordinateTree& self, uint64_t a, uint64_t b) { return self.path_distance(a, b); }>(
        "path_distance($self, a, b)", "Compute path distance between two nodes via LCA."),
    method<[](const CoordinateTree& self, uint64_t node, uint64_t k) { return self.kth_ancestor(node, k); }>(
        "kth_ancestor($self, node, k)", "Get k-th ancestor of a node."),
    method<[](const CoordinateTree& self, uint64_t a, uint64_t b) { return self.is_ancestor(a, b); }>(
        "is_ancestor($self, a, b)", "Check if node a is ancestor of node b."),
    method<[](const CoordinateTree& self, uint64_t a, uint64_t b) { return self.is_descendant(a, b); }>(
        "is_descendant($self, a, b)", "Check if node a is descendant of node b."),
    method<[](const CoordinateTree& self, uint64_t a, uint64_t b) { return self.path(a, b); }>(
        "path($self, a, b)", "Get path from node a to node b."),
    method<[](const CoordinateTree& self, uint64_t depth) { return self.nodes_at_depth(depth); }>(
        "nodes_at_depth($self, depth)", "Get all nodes at specified depth."),
    method<[](const CoordinateTree& self) { return self.leaves(); }>("leaves($self)", "Get all leaf nodes."),
    method<[](const CoordinateTree& self) { return self.preorder(); }>("preorder($self)",
                                                                        "Get all node IDs in preorder."),
    repr<[](const CoordinateTree& self) {
        return "CoordinateTree(nodes=" + std::to_string(self.len()) + ", max_depth=" + std::to_string(self.max_depth()) +
               ")";
    }>())

HALYARD_CLASS(
    ConservationMetrics, "ConservationMetrics", "Conservation metrics for trajectory validation.",
    static_method<[](std::vector<ArrayF32> embeddings, std::vector<float> attention) {
        return ConservationMetrics::compute(spans(embeddings), attention);
    }>("compute(embeddings, attention)", "Compute conservation metrics from embeddings and attention weights."),
    getter<[](const ConservationMetrics& m) { return m.magnitude; }>("magnitude"),
    getter<[](const ConservationMetrics& m) { return m.energy; }>("energy"),
    getter<[](const ConservationMetrics& m) { return m.information; }>("information"),
    method<[](const ConservationMetrics& self, const ConservationMetrics& other, float tolerance) {
        return self.is_conserved(other, tolerance);
    }>("is_conserved($self, other, tolerance)", "Check if metrics are conserved within tolerance."),
    repr<[](const ConservationMetrics& m) {
        return "ConservationMetrics(mag=" + fixed(m.magnitude, 3) + ", energy=" + fixed(m.energy, 3) +
               ", info=" + fixed(m.information, 3) + ")";
    }>())
