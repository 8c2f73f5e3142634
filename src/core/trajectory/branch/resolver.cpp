#include "trajectory/branch/resolver.hpp"

#include <algorithm>
#include <cmath>

namespace halyard {

namespace {

// Natural logarithm of a single-precision value, correctly rounded to single
// precision (the same result on every platform and C library).
float ln32(float x) { return static_cast<float>(std::log(static_cast<double>(x))); }

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
// at (with everything below it) is the material it covers, taken in the order
// of the walk below the fork node.
//
// That order is the child's own walk whenever nothing below the child can be
// entered other than through it: the fork node is not below the child, and
// every node below is named in one children list only. The walk below the
// fork, which can be much larger than the material, is then not needed; it
// is taken only for material that shares turns with other parts of the graph.
std::vector<RecoverableBranch> BranchResolver::find_unselected_regenerations(const BranchStateMachine& machine) {
    const TrajectoryGraph& graph = machine.graph();
    struct Candidate {
        NodeId fork;
        NodeId entry;
        uint32_t depth;
        std::vector<NodeId> reach;  // the entry's own walk
    };
    std::vector<Candidate> candidates;
    for (const auto& [fork, point] : machine.branch_points()) {
        const Episode* episode = graph.find(fork);
        if (!episode) continue;
        const std::vector<NodeId>& entries = episode->children;
        for (size_t i = 0; i < point.alternative_count && i < entries.size(); ++i) {
            const BranchId alternative = point.alternative(i);
            if (point.selected && *point.selected == alternative) continue;
            // An id without a branch was reserved for a turn that had already
            // been placed elsewhere (a cycle or a shared turn): nothing was left aside.
            const Branch* b = machine.get_branch(alternative);
            if (!b || b->is_active()) continue;
            candidates.push_back({fork, entries[i], point.depth + 1, graph.subtree(entries[i]).order});
        }
    }
    if (candidates.empty()) return {};

    // How many children lists name each node of the candidates' material.
    HashMap<NodeId, uint32_t> listed;
    for (const Candidate& c : candidates)
        for (NodeId id : c.reach) listed.emplace(id, 0);
    for (const auto& [id, episode] : graph.nodes())
        for (NodeId child : episode.children)
            if (auto it = listed.find(child); it != listed.end()) ++it->second;

    DepthMemo depths(graph);
    std::vector<RecoverableBranch> out;
    std::optional<SubtreeWalk> below_fork;
    NodeId below_fork_of = 0;
    for (Candidate& c : candidates) {
        const bool isolated = std::all_of(c.reach.begin(), c.reach.end(),
                                          [&](NodeId id) { return id != c.fork && listed.at(id) == 1; });
        std::vector<NodeId> covered;
        if (isolated) {
            covered = std::move(c.reach);
        } else {
            if (!below_fork || below_fork_of != c.fork) {
                below_fork = graph.subtree(c.fork);
                below_fork_of = c.fork;
            }
            const HashSet<NodeId> reach(c.reach.begin(), c.reach.end());
            for (NodeId id : below_fork->order)
                if (reach.count(id)) covered.push_back(id);
        }
        if (covered.empty()) continue;
        out.push_back(lost_material(graph, std::move(covered), c.fork, c.entry, c.depth,
                                    LostReason::UnselectedRegeneration, depths));
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
