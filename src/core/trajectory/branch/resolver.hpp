// Finding lost material in a branch state machine (archived branches,
// subtrees no branch covers, alternatives left aside at a fork), rating it
// and recovering it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "trajectory/branch/state_machine.hpp"
#include "trajectory/graph.hpp"

namespace halyard {

enum class RecoveryStrategy : uint8_t { Reactivate = 0, Copy = 1, MergeInto = 2, SplitIndependent = 3 };

enum class LostReason : uint8_t {
    Archived = 0,
    Untracked = 1,
    OrphanedByDeletion = 2,
    UnselectedRegeneration = 3,
    Abandoned = 4,
    ExplorationDivergence = 5,
};

const char* recovery_strategy_name(RecoveryStrategy strategy) noexcept;

struct RecoverableBranch {
    std::optional<BranchId> branch_id;
    RecoveryStrategy strategy = RecoveryStrategy::SplitIndependent;
    BranchId merge_target = 0;  // the target of MergeInto
    std::vector<NodeId> nodes;
    NodeId fork_point = 0;
    NodeId entry_node = 0;
    NodeId head = 0;
    uint32_t depth = 0;
    float recovery_score = 0.0f;
    LostReason lost_reason = LostReason::Untracked;
};

// Stateless: every operation takes the machine it works on.
struct BranchResolver {
    // Untracked subtrees below forks, then archived branches; best score first
    // (stable on equal scores).
    static std::vector<RecoverableBranch> find_recoverable_branches(const BranchStateMachine& machine);
    // Alternatives recorded at forks whose branch is no longer active, in the
    // order found.
    static std::vector<RecoverableBranch> find_unselected_regenerations(const BranchStateMachine& machine);
    // Carries out the suggested strategy; returns the recovered branch id.
    static BranchId recover(BranchStateMachine& machine, const RecoverableBranch& recoverable);

    // Worth of recovering `nodes`, in single precision:
    // 0.2*feedback + (0.2*content + (0.3*ln(1+n) + 0.3*sqrt(max depth))).
    static float recovery_score(const TrajectoryGraph& graph, std::span<const NodeId> nodes, DepthMemo& depths);
};

}  // namespace halyard
