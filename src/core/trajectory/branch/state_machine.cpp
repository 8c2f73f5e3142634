#include "trajectory/branch/state_machine.hpp"

#include <algorithm>

#include "runtime/clock.hpp"

namespace halyard {

const char* branch_status_name(BranchStatus status) noexcept {
    switch (status) {
        case BranchStatus::Active: return "Active";
        case BranchStatus::Archived: return "Archived";
        case BranchStatus::Merged: return "Merged";
        case BranchStatus::Recovered: return "Recovered";
        case BranchStatus::Orphaned: return "Orphaned";
    }
    return "Active";
}

Branch Branch::make(BranchId id, NodeId fork_point, NodeId head, uint64_t now) {
    Branch b;
    b.nodes.push_back(head);
    b.id = id;
    b.fork_point = fork_point;
    b.head = head;
    b.created_at = now;
    b.updated_at = now;
    return b;
}

BranchStateMachine BranchStateMachine::from_graph(const TrajectoryGraph& graph) {
    BranchStateMachine m;
    m.graph_ = graph;
    if (m.graph_.roots().empty()) return m;
    const NodeId root = m.graph_.roots().front();
    const uint64_t now = unix_now();

    m.node_to_branch_.reserve(m.graph_.node_count());
    Branch main = Branch::make(0, root, root, now);
    main.label = "main";
    m.branches_.emplace(0, std::move(main));
    m.node_to_branch_.emplace(root, 0);
    m.assign_from(root, 0, 0, now);
    m.set_position(0);
    return m;
}

// Places every node reachable from `start` through children links.
//
// Read as a recursion: a node with one child continues its branch with that
// child; a node with several children reserves one new id per child (the
// i-th child gets the i-th id), records the fork, then for each child in turn
// makes its branch and places the child's whole subtree before the next
// child's branch is made. Forks met inside the first child's subtree thus
// take ids after those of their enclosing fork, before the second child's
// branch exists. The loop below keeps the pending forks on an explicit stack
// and yields exactly that order of reservations and assignments.
//
// A child that is already placed (a cycle, or a turn listed under two
// parents) is not placed again: a single line stops there, and at a fork the
// child's reserved id stays unused. So each node is placed at most once.
void BranchStateMachine::assign_from(NodeId start, BranchId branch, uint32_t depth, uint64_t now) {
    struct PendingFork {
        NodeId node;
        Branch* branch;  // the branch that reached the fork; map elements do not move
        uint32_t depth;
        BranchId first_id;
        const std::vector<NodeId>* children;  // stable: the graph is not changed while building
        size_t next;
    };
    std::vector<PendingFork> forks;

    NodeId node = start;
    Branch* line = &branches_.at(branch);
    while (true) {
        if (line) {
            while (const Episode* e = graph_.find(node)) {
                const std::vector<NodeId>& children = e->children;
                if (children.empty()) break;
                if (children.size() == 1) {
                    const NodeId child = children.front();
                    if (!node_to_branch_.emplace(child, branch).second) break;
                    line->nodes.push_back(child);
                    line->head = child;
                    line->updated_at = now;
                    node = child;
                    ++depth;
                    continue;
                }
                // A graph with forks may make up to one branch per node: size
                // the table once rather than growing it step by step.
                if (branch_points_.empty()) branches_.reserve(graph_.node_count());
                const BranchId first = next_branch_id_;
                next_branch_id_ += children.size();
                BranchPoint point;
                point.first_alternative = first;
                point.alternative_count = children.size();
                point.node = node;
                point.created_at = now;
                point.depth = depth;
                branch_points_.insert_or_assign(node, point);
                line->child_branches.reserve(line->child_branches.size() + children.size());
                forks.push_back({node, line, depth, first, &children, 0});
                break;
            }
            line = nullptr;
        }
        if (forks.empty()) break;
        PendingFork& fork = forks.back();
        if (fork.next == fork.children->size()) {
            forks.pop_back();
            continue;
        }
        const size_t i = fork.next++;
        const NodeId child = (*fork.children)[i];
        const BranchId id = fork.first_id + i;
        if (!node_to_branch_.emplace(child, id).second) continue;
        Branch made = Branch::make(id, fork.node, child, now);
        made.parent_branch = fork.branch->id;
        fork.branch->child_branches.push_back(id);
        line = &branches_.emplace(id, std::move(made)).first->second;
        node = child;
        branch = id;
        depth = fork.depth + 1;
    }
}

void BranchStateMachine::set_position(BranchId branch) {
    const Branch& b = branches_.at(branch);
    position_.branch = branch;
    position_.node = b.head;
}

SplitResult BranchStateMachine::split(NodeId node) {
    if (!graph_.contains(node)) throw BranchError::node_not_found(node);
    if (graph_.is_root_in_snapshot(node)) throw BranchError::cannot_split_root();
    auto owner = node_to_branch_.find(node);
    if (owner == node_to_branch_.end()) throw BranchError::node_not_found(node);
    const BranchId original = owner->second;
    const BranchId created = next_branch_id_++;  // consumed even when the next check fails
    const Episode& episode = *graph_.find(node);
    if (!episode.parent) throw BranchError::no_parent(original);

    SubtreeWalk moved = graph_.subtree(node);
    const uint64_t now = unix_now();
    Branch made = Branch::make(created, *episode.parent, node, now);
    made.parent_branch = original;
    made.nodes = moved.order;

    // Head: the deepest childless moved node (the moved list starts with the split node).
    DepthMemo depths(graph_);
    made.head = deepest_leaf(graph_, moved.order, depths);

    for (NodeId id : moved.order) node_to_branch_.insert_or_assign(id, created);
    if (auto it = branches_.find(original); it != branches_.end()) {
        std::vector<NodeId>& kept = it->second.nodes;
        kept.erase(std::remove_if(kept.begin(), kept.end(), [&](NodeId id) { return moved.members.count(id) != 0; }),
                   kept.end());
        it->second.child_branches.push_back(created);
    }
    branches_.insert_or_assign(created, std::move(made));
    log_.push_back({SplitRecord{original, created, node}, now});
    return {original, created, node, std::move(moved.order)};
}

std::tuple<BranchId, BranchId, NodeId> BranchStateMachine::merge(BranchId from, BranchId into) {
    if (from == into) throw BranchError::self_merge();
    auto s = branches_.find(from);
    if (s == branches_.end()) throw BranchError::branch_not_found(from);
    auto t = branches_.find(into);
    if (t == branches_.end()) throw BranchError::branch_not_found(into);
    Branch& source = s->second;
    Branch& target = t->second;
    if (source.status == BranchStatus::Merged) throw BranchError::already_merged(from);

    const NodeId merge_point = source.fork_point;
    const uint64_t now = unix_now();
    target.nodes.reserve(target.nodes.size() + source.nodes.size());
    for (NodeId id : source.nodes) node_to_branch_.insert_or_assign(id, into);
    target.nodes.insert(target.nodes.end(), source.nodes.begin(), source.nodes.end());
    target.updated_at = now;
    source.status = BranchStatus::Merged;
    source.updated_at = now;
    log_.push_back({MergeRecord{from, into, merge_point}, now});
    return {into, from, merge_point};
}

void BranchStateMachine::traverse(BranchId target) {
    if (!branches_.count(target)) throw BranchError::branch_not_found(target);
    const BranchId previous = current_;
    current_ = target;
    set_position(target);
    log_.push_back({TraverseRecord{previous, target}, unix_now()});
}

void BranchStateMachine::archive(BranchId branch, std::optional<std::string> reason) {
    auto it = branches_.find(branch);
    if (it == branches_.end()) throw BranchError::branch_not_found(branch);
    const uint64_t now = unix_now();
    it->second.status = BranchStatus::Archived;
    it->second.updated_at = now;
    log_.push_back({ArchiveRecord{branch, std::move(reason)}, now});
}

std::vector<Branch> BranchStateMachine::active_branches() const {
    std::vector<Branch> out;
    for (const auto& [id, b] : branches_)
        if (b.is_active()) out.push_back(b);
    return out;
}

std::vector<Branch> BranchStateMachine::all_branches() const {
    std::vector<Branch> out;
    out.reserve(branches_.size());
    for (const auto& [id, b] : branches_) out.push_back(b);
    return out;
}

std::optional<BranchId> BranchStateMachine::find_branch_for_node(NodeId node) const noexcept {
    auto it = node_to_branch_.find(node);
    if (it == node_to_branch_.end()) return std::nullopt;
    return it->second;
}

std::vector<BranchId> BranchStateMachine::child_branches(BranchId id) const {
    const Branch* b = get_branch(id);
    return b ? b->child_branches : std::vector<BranchId>{};
}

}  // namespace halyard
