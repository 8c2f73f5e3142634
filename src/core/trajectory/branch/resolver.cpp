#include "trajectory/branch/resolver.hpp"

#include <algorithm>
#include <cmath>

namespace halyard {

namespace {

// Natural logarithm of a single-precision value, correctly rounded to single
// precision (the same result on every platform and C library).
float ln32(float x) { return static_cast<float>(std::log(static_cast<double>(x))); }

// Among the entries that exist and have no children, the deepest one (the
// later entry on equal depth); the first entry when there is none.
NodeId deepest_leaf(const TrajectoryGraph& graph, const std::vector<NodeId>& nodes, DepthMemo& depths) {
    bool found = false;
    uint32_t best = 0;
    NodeId head = nodes.front();
    for (NodeId id : nodes) {
        const Episode* e = graph.find(id);
        if (!e || !e->children.empty()) continue;
        const uint32_t d = depths.depth_or_zero(id);
        if (!found || d >= best) {
            found = true;
            best = d;
            head = id;
        }
    }
    return head;
}

RecoverableBranch lost_material(const TrajectoryGraph& graph, std::vector<NodeId> nodes, NodeId fork, NodeId entry,
                                std::optional<uint32_t> depth, LostReason reason, DepthMemo& depths) {
    RecoverableBranch r;
    r.strategy = RecoveryStrategy::SplitIndependent;
    r.head = deepest_leaf(graph, nodes, depths);
    r.depth = depth ? *depth : depths.depth_or_zero(r.head);
    r.recovery_score = BranchResolver::recovery_score(graph, nodes, depths);
    r.nodes = std::move(nodes);
    r.fork_point = fork;
    r.entry_node = entry;
    r.lost_reason = reason;
    return r;
}

}  // namespace

const char* recovery_strategy_name(RecoveryStrategy strategy) noexcept {
    switch (strategy) {
        case RecoveryStrategy::Reactivate: return "Reactivate";
        case RecoveryStrategy::Copy: return "Copy";
        case RecoveryStrategy::MergeInto: return "MergeInto";
        case RecoveryStrategy::SplitIndependent: return "SplitIndependent";
    }
    return "Reactivate";
}

float BranchResolver::recovery_score(const TrajectoryGraph& graph, std::span<const NodeId> nodes, DepthMemo& depths) {
    if (nodes.empty()) return 0.0f;
    const float n = static_cast<float>(nodes.size());
    const float size_term = ln32(1.0f + n);

    uint32_t max_depth = 0;
    float content_sum = 0.0f;
    float feedback = 0.0f;
    for (NodeId id : nodes) {
        if (auto d = depths.depth(id)) max_depth = std::max(max_depth, *d);
        if (const Episode* e = graph.find(id)) {
            content_sum += ln32(1.0f + static_cast<float>(e->content_length));
            if (e->has_thumbs_up) feedback += 1.0f;
        }
    }
    const float depth_term = std::sqrt(static_cast<float>(max_depth));
    const float content_term = content_sum / n;
    return 0.2f * feedback + (0.2f * content_term + (0.3f * size_term + 0.3f * depth_term));
}

std::vector<RecoverableBranch> BranchResolver::find_recoverable_branches(const BranchStateMachine& machine) {
    const TrajectoryGraph& graph = machine.graph();
    DepthMemo depths(graph);
    std::vector<RecoverableBranch> out;

    for (const auto& [fork, episode] : graph.nodes()) {
        if (!episode.is_branch_point()) continue;
        for (NodeId child : episode.children) {
            // Everything below a tracked node is tracked as well (the branches
            // cover all that is reachable from the first root), so only
            // untracked children can lead to untracked material.
            if (machine.is_tracked(child)) continue;
            std::vector<NodeId> untracked;
            for (NodeId id : graph.subtree(child).order)
                if (!machine.is_tracked(id)) untracked.push_back(id);
            if (untracked.empty()) continue;
            out.push_back(lost_material(graph, std::move(untracked), fork, child, std::nullopt, LostReason::Untracked,
                                        depths));
        }
    }

    for (const auto& [id, branch] : machine.branches()) {
        if (branch.status != BranchStatus::Archived) continue;
        RecoverableBranch r;
        r.branch_id = id;
        r.strategy = RecoveryStrategy::Reactivate;
        r.nodes = branch.nodes;
        r.fork_point = branch.fork_point;
        r.entry_node = branch.nodes.empty() ? branch.fork_point : branch.nodes.front();
        r.head = branch.head;
        r.depth = depths.depth_or_zero(branch.head);
        r.recovery_score = recovery_score(graph, branch.nodes, depths);
        r.lost_reason = LostReason::Archived;
        out.push_back(std::move(r));
    }

    // Scores are never NaN, so ">" is a strict weak order here.
    std::stable_sort(out.begin(), out.end(), [](const RecoverableBranch& a, const RecoverableBranch& b) {
        return a.recovery_score > b.recovery_score;
    });
    return out;
}

// Each alternative of a fork is the branch made for one child of the fork
// node: its status says whether it is still in use, and the child it started
// at (with everything below it) is the material it covers.
std::vector<RecoverableBranch> BranchResolver::find_unselected_regenerations(const BranchStateMachine& machine) {
    const TrajectoryGraph& graph = machine.graph();
    DepthMemo depths(graph);
    std::vector<RecoverableBranch> out;

    for (const auto& [fork, point] : machine.branch_points()) {
        std::optional<SubtreeWalk> below_fork;
        const Episode* episode = graph.find(fork);
        if (!episode) continue;
        const std::vector<NodeId>& entries = episode->children;
        for (size_t i = 0; i < point.alternative_count && i < entries.size(); ++i) {
            const BranchId alternative = point.alternative(i);
            if (point.selected && *point.selected == alternative) continue;
            if (const Branch* b = machine.get_branch(alternative); b && b->is_active()) continue;
            const NodeId entry = entries[i];

            if (!below_fork) below_fork = graph.subtree(fork);
            std::vector<NodeId> covered;
            if (below_fork->revisits == 0) {
                // The fork's subtree is a tree: the entry's own walk is the
                // matching stretch of the fork's walk.
                if (below_fork->members.count(entry)) covered = graph.subtree(entry).order;
            } else {
                const HashSet<NodeId> reach = graph.subtree(entry).members;
                for (NodeId id : below_fork->order)
                    if (reach.count(id)) covered.push_back(id);
            }
            if (covered.empty()) continue;
            out.push_back(lost_material(graph, std::move(covered), fork, entry, point.depth + 1,
                                        LostReason::UnselectedRegeneration, depths));
        }
    }
    return out;
}

BranchId BranchResolver::recover(BranchStateMachine& machine, const RecoverableBranch& recoverable) {
    switch (recoverable.strategy) {
        case RecoveryStrategy::Reactivate:
            if (!recoverable.branch_id) throw BranchError::invalid_state("No branch ID for reactivation");
            if (!machine.get_branch(*recoverable.branch_id)) throw BranchError::branch_not_found(*recoverable.branch_id);
            return *recoverable.branch_id;
        case RecoveryStrategy::MergeInto:
            if (!recoverable.branch_id) throw BranchError::invalid_state("No branch ID for merge");
            machine.merge(*recoverable.branch_id, recoverable.merge_target);
            return recoverable.merge_target;
        case RecoveryStrategy::Copy:
        case RecoveryStrategy::SplitIndependent:
            break;
    }
    return machine.split(recoverable.entry_node).created;
}

}  // namespace halyard
