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
    // A path without repetition has at most node_count() nodes: one step more
    // means the parent links go round a cycle.
    std::vector<NodeId> path;
    const Episode* e = find(id);
    while (e) {
        if (path.size() == nodes_.size()) return {};
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
    if (auto it = memo_.find(id); it != memo_.end())
        return it->second >= 0 ? std::optional<uint32_t>(static_cast<uint32_t>(it->second)) : std::nullopt;

    // Climb until a node of known depth, a root, a missing node or a node of
    // this very climb (a cycle); then give depths to the climbed nodes.
    stack_.clear();
    bool reached = false;
    int64_t above = -1;  // depth of the parent of the top of the stack
    NodeId cur = id;
    while (true) {
        if (auto it = memo_.find(cur); it != memo_.end()) {
            reached = it->second >= 0;
            above = it->second;
            break;
        }
        const Episode* e = graph_.find(cur);
        if (!e) {
            memo_.emplace(cur, kNoPath);
            break;
        }
        memo_.emplace(cur, kOpen);
        stack_.push_back(cur);
        if (!e->parent) {
            reached = true;
            above = -1;
            break;
        }
        cur = *e->parent;
    }
    for (auto it = stack_.rbegin(); it != stack_.rend(); ++it) {
        if (reached) ++above;
        memo_[*it] = reached ? above : kNoPath;
    }
    const int64_t d = memo_[id];
    return d >= 0 ? std::optional<uint32_t>(static_cast<uint32_t>(d)) : std::nullopt;
}

}  // namespace halyard
