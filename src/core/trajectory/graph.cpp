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
    CycleGuard guard(id);
    const Episode* e = find(id);
    while (e) {
        path.push_back(id);
        if (!e->parent) {
            std::reverse(path.begin(), path.end());
            return path;
        }
        id = *e->parent;
        if (guard.revisits(id)) break;
        e = find(id);
    }
    return {};
}

std::optional<uint32_t> DepthMemo::depth(NodeId id) {
    auto known = [](int64_t d) { return d >= 0 ? std::optional<uint32_t>(static_cast<uint32_t>(d)) : std::nullopt; };
    if (auto it = memo_.find(id); it != memo_.end()) return known(it->second);

    // Climb until a remembered node, a root, a missing node or a cycle.
    // `above` is the depth of the node above the last climbed one.
    climb_.clear();
    int64_t above = kNoPath;
    bool reached = false;
    CycleGuard guard(id);
    NodeId cur = id;
    while (true) {
        if (!climb_.empty()) {
            if (auto it = memo_.find(cur); it != memo_.end()) {
                reached = it->second >= 0;
                above = it->second;
                break;
            }
        }
        const Episode* e = graph_.find(cur);
        if (!e) break;
        climb_.push_back(cur);
        if (!e->parent) {
            reached = true;
            above = -1;
            break;
        }
        cur = *e->parent;
        if (guard.revisits(cur)) break;
    }

    // climb_[i] lies (size - i) steps below the node above the climb.
    const size_t size = climb_.size();
    for (size_t i = 0; i < size; ++i) {
        const size_t from_top = size - 1 - i;
        if (i != 0 && from_top % kStride != 0) continue;
        memo_.insert_or_assign(climb_[i], reached ? above + static_cast<int64_t>(size - i) : kNoPath);
    }
    if (size == 0) {
        memo_.emplace(id, kNoPath);
        return std::nullopt;
    }
    return known(reached ? above + static_cast<int64_t>(size) : kNoPath);
}

}  // namespace halyard
