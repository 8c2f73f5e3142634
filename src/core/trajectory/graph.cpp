#include "trajectory/graph.hpp"

#include <algorithm>

namespace halyard {

TrajectoryGraph TrajectoryGraph::from_edges(const std::vector<Edge>& edges) {
    TrajectoryGraph g;
    g.nodes_.reserve(edges.size() + 1);
    for (const auto& [parent, child, type] : edges) {
        (void)type;  // the graph keeps no edge kinds
        // References into the node-based map stay valid across insertions.
        Episode& p = g.nodes_.try_emplace(parent, Episode::with_id(parent)).first->second;
        Episode& c = g.nodes_.try_emplace(child, Episode::with_id(child)).first->second;
        if (std::find(p.children.begin(), p.children.end(), child) == p.children.end()) p.children.push_back(child);
        c.parent = parent;
    }
    g.recompute_roots_and_leaves();
    return g;
}

void TrajectoryGraph::add_node(Episode episode) {
    const NodeId id = episode.id;
    nodes_.insert_or_assign(id, std::move(episode));
}

bool TrajectoryGraph::is_root_in_snapshot(NodeId id) const noexcept {
    return std::find(roots_.begin(), roots_.end(), id) != roots_.end();
}

std::vector<std::pair<NodeId, std::vector<NodeId>>> TrajectoryGraph::find_branch_points() const {
    std::vector<std::pair<NodeId, std::vector<NodeId>>> out;
    for (const auto& [id, e] : nodes_)
        if (e.is_branch_point()) out.emplace_back(id, e.children);
    return out;
}

void TrajectoryGraph::recompute_roots_and_leaves() {
    std::vector<NodeId> roots;
    std::vector<NodeId> leaves;
    for (const auto& [id, e] : nodes_)
        if (e.is_root()) roots.push_back(id);
    for (const auto& [id, e] : nodes_)
        if (e.is_leaf()) leaves.push_back(id);
    roots_ = std::move(roots);
    leaves_ = std::move(leaves);
}

SubtreeWalk TrajectoryGraph::subtree(NodeId start) const {
    SubtreeWalk walk;
    std::vector<NodeId> stack{start};
    while (!stack.empty()) {
        const NodeId id = stack.back();
        stack.pop_back();
        if (!walk.members.insert(id).second) {
            ++walk.revisits;
            continue;
        }
        walk.order.push_back(id);
        if (const Episode* e = find(id)) stack.insert(stack.end(), e->children.begin(), e->children.end());
    }
    return walk;
}

std::vector<NodeId> TrajectoryGraph::path_to_root(NodeId id) const {
    std::vector<NodeId> path;
    HashSet<NodeId> seen;
    const Episode* e = find(id);
    while (e) {
        if (!seen.insert(id).second) return {};  // the parent links go round a cycle
        path.push_back(id);
        if (!e->parent) {
            std::reverse(path.begin(), path.end());
            return path;
        }
        id = *e->parent;
        e = find(id);
    }
    return {};
}

std::optional<uint32_t> DepthMemo::depth(NodeId id) {
    auto known = [](int64_t d) { return d >= 0 ? std::optional<uint32_t>(static_cast<uint32_t>(d)) : std::nullopt; };
    if (auto it = memo_.find(id); it != memo_.end()) return known(it->second);

    // Climb until a node of known depth, a root, a missing node or a node of
    // this very climb (a cycle: every node climbed leads into it), marking
    // each climbed node open; then give the climbed nodes their depths.
    climb_.clear();
    bool reached = false;  // whether the climb ends at a node with a path (or above a root)
    int64_t above = 0;     // then: the depth of the node above the last climbed one
    NodeId cur = id;
    while (true) {
        auto [it, fresh] = memo_.try_emplace(cur, kOpen);
        if (!fresh) {
            reached = it->second >= 0;
            above = it->second;
            break;
        }
        const Episode* e = graph_.find(cur);
        if (!e) {
            it->second = kNoPath;
            break;
        }
        climb_.push_back(&it->second);
        if (!e->parent) {
            reached = true;
            above = -1;
            break;
        }
        cur = *e->parent;
    }
    for (auto it = climb_.rbegin(); it != climb_.rend(); ++it) **it = reached ? ++above : kNoPath;
    return known(memo_.find(id)->second);
}

NodeId deepest_leaf(const TrajectoryGraph& graph, const std::vector<NodeId>& nodes, DepthMemo& depths) {
    std::vector<NodeId> leaves;
    for (NodeId id : nodes)
        if (const Episode* e = graph.find(id); e && e->children.empty()) leaves.push_back(id);
    if (leaves.empty()) return nodes.front();
    if (leaves.size() == 1) return leaves.front();  // no depth to compare: spare the climb
    NodeId head = leaves.front();
    uint32_t best = depths.depth_or_zero(head);
    for (size_t i = 1; i < leaves.size(); ++i) {
        const uint32_t d = depths.depth_or_zero(leaves[i]);
        if (d >= best) {
            best = d;
            head = leaves[i];
        }
    }
    return head;
}

}  // namespace halyard
