// Conversation structure: episodes and the trajectory graph, branches and
// the branch state machine, the branch resolver, and the chain manager.
#include "framework/format.hpp"
#include "registry.hpp"
#include "trajectory/branch/resolver.hpp"
#include "trajectory/branch/state_machine.hpp"
#include "trajectory/chains.hpp"
#include "trajectory/graph.hpp"

using halyard::Branch;
using halyard::BranchResolver;
using halyard::BranchStateMachine;
using halyard::BranchStatus;
using halyard::ChainManager;
using halyard::ChainMetadata;
using halyard::EdgeType;
using halyard::Episode;
using halyard::LostReason;
using halyard::RecoverableBranch;
using halyard::RecoveryStrategy;
using halyard::TrajectoryGraph;

namespace {

std::string some_or_none(const std::optional<uint64_t>& value) {
    return value ? "Some(" + std::to_string(*value) + ")" : "None";
}

// A text in double quotes, with quotes, backslashes and control characters
// escaped so that the quoted text stays unambiguous.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    constexpr char kHex[] = "0123456789abcdef";
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xf];
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

template <class T>
std::optional<T> copy_of(const T* value) {
    return value ? std::optional<T>(*value) : std::nullopt;
}

}  // namespace

// ---- episodes and the graph ---------------------------------------------------

HALYARD_ENUM(EdgeType, "EdgeType",
             "Edge type in trajectory graph.\n\n"
             "Continuation: Normal sequential flow\n"
             "Regeneration: Alternative response (regeneration)\n"
             "Branch: User-initiated branch",
             "Continuation", "Regeneration", "Branch")

HALYARD_CLASS(
    Episode, "Episode",
    "Episode in trajectory graph (node).\n\n"
    "Episodes are the nodes of the conversation DAG. Each episode has:\n"
    "- A unique NodeId (u64)\n"
    "- Optional parent reference\n"
    "- Children references (for branching)\n"
    "- Metadata like weight, feedback, timestamps",
    init<[](uint64_t id, std::optional<uint64_t> parent, Opt<float> weight, Opt<bool> has_thumbs_up,
            Opt<bool> has_thumbs_down, Opt<uint64_t> content_length, Opt<bool> has_error, Opt<int64_t> created_at) {
        Episode e = Episode::with_id(id);
        e.parent = parent;
        e.weight = std::move(weight).value_or(1.0f);
        e.has_thumbs_up = std::move(has_thumbs_up).value_or(false);
        e.has_thumbs_down = std::move(has_thumbs_down).value_or(false);
        e.content_length = std::move(content_length).value_or(uint64_t{0});
        e.has_error = std::move(has_error).value_or(false);
        e.created_at = std::move(created_at).value_or(int64_t{0});
        return e;
    }>("(id, parent=None, weight=1.0, has_thumbs_up=False, has_thumbs_down=False, content_length=0, "
       "has_error=False, created_at=0)"),
    getter<[](const Episode& e) { return e.id; }>("id"),
    getter<[](const Episode& e) { return e.parent; }>("parent"),
    getter<[](const Episode& e) { return e.children; }>("children"),
    getter<[](const Episode& e) { return e.weight; }>("weight"),
    getter<[](const Episode& e) { return e.has_thumbs_up; }>("has_thumbs_up"),
    getter<[](const Episode& e) { return e.has_thumbs_down; }>("has_thumbs_down"),
    getter<[](const Episode& e) { return e.has_error; }>("has_error"),
    getter<[](const Episode& e) { return e.content_length; }>("content_length"),
    getter<[](const Episode& e) { return e.created_at; }>("created_at"),
    method<[](const Episode& e) { return e.is_leaf(); }>("is_leaf($self)", "Check if this is a leaf node (no children)."),
    method<[](const Episode& e) { return e.is_root(); }>("is_root($self)", "Check if this is a root node (no parent)."),
    method<[](const Episode& e) { return e.is_branch_point(); }>(
        "is_branch_point($self)", "Check if this is a branch point (multiple children)."),
    repr<[](const Episode& e) {
        return "Episode(id=" + std::to_string(e.id) + ", parent=" + some_or_none(e.parent) +
               ", children=" + std::to_string(e.children.size()) + ", weight=" + fixed(e.weight, 2) + ")";
    }>())

HALYARD_CLASS(
    TrajectoryGraph, "TrajectoryGraph",
    "Trajectory graph for managing conversation DAG.\n\n"
    "The graph stores episodes (nodes) connected by edges representing\n"
    "parent-child relationships. Supports branching and regeneration.",
    init<[] { return TrajectoryGraph{}; }>("()"),
    static_method<[](std::vector<halyard::Edge> edges) { return TrajectoryGraph::from_edges(edges); }>(
        "from_edges(edges)", "Create graph from a list of edges.\n\nEach edge is (parent_id, child_id, edge_type)."),
    method<[](TrajectoryGraph& g, const Episode& episode) { g.add_node(episode); }>(
        "add_node($self, episode)", "Add an episode (node) to the graph."),
    method<[](const TrajectoryGraph& g, uint64_t id) { return copy_of(g.find(id)); }>("get_node($self, id)",
                                                                                        "Get an episode by ID."),
    getter<[](const TrajectoryGraph& g) { return uint64_t{g.node_count()}; }>("node_count", "Number of episodes (nodes)."),
    method<[](const TrajectoryGraph& g) { return g.roots(); }>("roots($self)", "Get root episodes (no parent)."),
    method<[](const TrajectoryGraph& g) { return g.leaves(); }>("leaves($self)", "Get leaf episodes (no children)."),
    method<[](const TrajectoryGraph& g, uint64_t id) { return g.is_branch_point(id); }>(
        "is_branch_point($self, id)", "Check if an episode is a branch point."),
    method<[](const TrajectoryGraph& g) { return g.find_branch_points(); }>("find_branch_points($self)",
                                                                           "Find all branch points in the graph."),
    repr<[](const TrajectoryGraph& g) {
        return "TrajectoryGraph(nodes=" + std::to_string(g.node_count()) + ", roots=" + std::to_string(g.roots().size()) +
               ", leaves=" + std::to_string(g.leaves().size()) + ")";
    }>())

// ---- branches ---------------------------------------------------------------------

HALYARD_ENUM(BranchStatus, "BranchStatus", "Branch status in lifecycle.", "Active", "Archived", "Merged", "Recovered",
             "Orphaned")

HALYARD_ENUM(RecoveryStrategy, "RecoveryStrategy", "Recovery strategy for lost branches.", "Reactivate", "Copy",
             "MergeInto", "SplitIndependent")

HALYARD_ENUM(LostReason, "LostReason", "Reason a branch was lost.", "Archived", "Untracked", "OrphanedByDeletion",
             "UnselectedRegeneration", "Abandoned", "ExplorationDivergence")

HALYARD_CLASS(
    Branch, "Branch", "Branch in conversation trajectory.",
    getter<[](const Branch& b) { return b.id; }>("id"),
    getter<[](const Branch& b) { return b.fork_point; }>("fork_point"),
    getter<[](const Branch& b) { return b.head; }>("head"),
    getter<[](const Branch& b) { return b.status; }>("status"),
    getter<[](const Branch& b) { return b.parent_branch; }>("parent_branch"),
    getter<[](const Branch& b) { return b.child_branches; }>("child_branches"),
    getter<[](const Branch& b) { return b.nodes; }>("nodes"),
    getter<[](const Branch& b) { return b.label; }>("label"),
    getter<[](const Branch& b) { return b.created_at; }>("created_at"),
    getter<[](const Branch& b) { return b.updated_at; }>("updated_at"),
    method<[](const Branch& b) { return b.is_active(); }>("is_active($self)", "Check if this branch is active."),
    method<[](const Branch& b) { return b.is_root(); }>("is_root($self)", "Check if this is the root branch."),
    method<[](const Branch& b) { return b.is_merged(); }>("is_merged($self)", "Check if this branch has been merged."),
    method<[](const Branch& b) { return uint64_t{b.nodes.size()}; }>("len($self)",
                                                                     "Get the number of nodes in this branch."),
    repr<[](const Branch& b) {
        return "Branch(id=" + std::to_string(b.id) + ", head=" + std::to_string(b.head) +
               ", status=" + halyard::branch_status_name(b.status) + ", nodes=" + std::to_string(b.nodes.size()) + ")";
    }>())

HALYARD_CLASS(
    RecoverableBranch, "RecoverableBranch", "Recoverable branch information.",
    getter<[](const RecoverableBranch& r) { return r.branch_id; }>("branch_id"),
    getter<[](const RecoverableBranch& r) { return r.strategy; }>("suggested_strategy"),
    getter<[](const RecoverableBranch& r) { return r.nodes; }>("nodes"),
    getter<[](const RecoverableBranch& r) { return r.fork_point; }>("fork_point"),
    getter<[](const RecoverableBranch& r) { return r.entry_node; }>("entry_node"),
    getter<[](const RecoverableBranch& r) { return r.head; }>("head"),
    getter<[](const RecoverableBranch& r) { return r.depth; }>("depth"),
    getter<[](const RecoverableBranch& r) { return r.recovery_score; }>("recovery_score"),
    getter<[](const RecoverableBranch& r) { return r.lost_reason; }>("lost_reason"),
    repr<[](const RecoverableBranch& r) {
        std::string strategy = halyard::recovery_strategy_name(r.strategy);
        if (r.strategy == RecoveryStrategy::MergeInto) strategy += "(" + std::to_string(r.merge_target) + ")";
        return "RecoverableBranch(id=" + some_or_none(r.branch_id) + ", fork=" + std::to_string(r.fork_point) +
               ", score=" + fixed(r.recovery_score, 2) + ", strategy=" + strategy + ")";
    }>())

HALYARD_CLASS(
    BranchStateMachine, "BranchStateMachine", "Branch state machine for managing conversation branches.",
    static_method<[](const TrajectoryGraph& graph) { return BranchStateMachine::from_graph(graph); }>(
        "from_graph(graph)", "Create a new state machine from a trajectory graph."),
    method<[](BranchStateMachine& m, uint64_t node_id) {
        halyard::SplitResult r = m.split(node_id);
        return std::tuple{r.original, r.created, r.split_point, std::move(r.moved)};
    }>("split($self, node_id)",
       "Split a branch at a given node, creating a new independent branch.\n\n"
       "Returns a tuple of (original_branch_id, new_branch_id, split_point, moved_nodes)."),
    method<[](BranchStateMachine& m, uint64_t from_branch, uint64_t into_branch) {
        return m.merge(from_branch, into_branch);
    }>("merge($self, from_branch, into_branch)",
       "Merge a branch into another.\n\nReturns a tuple of (target_branch, merged_branch, merge_point)."),
    method<[](BranchStateMachine& m, uint64_t target_branch) { m.traverse(target_branch); }>(
        "traverse($self, target_branch)", "Traverse from current branch to another branch."),
    method<[](BranchStateMachine& m, uint64_t branch_id, std::optional<std::string> reason) {
        m.archive(branch_id, std::move(reason));
    }>("archive($self, branch_id, reason=None)", "Archive a branch (preserve but mark inactive)."),
    method<[](const BranchStateMachine& m) { return copy_of(m.current()); }>("current($self)", "Get the current branch."),
    method<[](const BranchStateMachine& m, uint64_t branch_id) { return copy_of(m.get_branch(branch_id)); }>(
        "get_branch($self, branch_id)", "Get branch by ID."),
    method<[](const BranchStateMachine& m) { return m.active_branches(); }>("active_branches($self)",
                                                                           "Get all active branches."),
    method<[](const BranchStateMachine& m) { return m.all_branches(); }>("all_branches($self)",
                                                                        "Get all branches (including inactive)."),
    getter<[](const BranchStateMachine& m) { return uint64_t{m.branch_count()}; }>("branch_count",
                                                                                  "Get number of branches."),
    method<[](const BranchStateMachine& m, uint64_t node_id) { return m.find_branch_for_node(node_id); }>(
        "find_branch_for_node($self, node_id)", "Find which branch contains a node."),
    method<[](const BranchStateMachine& m, uint64_t branch_id) { return m.child_branches(branch_id); }>(
        "child_branches($self, branch_id)", "Get child branches of a given branch."),
    repr<[](const BranchStateMachine& m) {
        const std::string current = m.current() ? "Some(" + std::to_string(m.current_id()) + ")" : "None";
        return "BranchStateMachine(branches=" + std::to_string(m.branch_count()) + ", current=" + current + ")";
    }>())

HALYARD_CLASS(
    BranchResolver, "BranchResolver",
    "Branch resolver for finding and recovering lost branches.\n\n"
    "This is a static utility class that operates on BranchStateMachine instances,\n"
    "so it exposes static methods.",
    init<[] { return BranchResolver{}; }>("()"),
    static_method<[](const BranchStateMachine& machine) { return BranchResolver::find_recoverable_branches(machine); }>(
        "find_recoverable_branches(machine)",
        "Find all branches that could be recovered from the state machine.\n\n"
        "This analyzes the DAG to find paths that aren't actively tracked."),
    static_method<[](const BranchStateMachine& machine) {
        return BranchResolver::find_unselected_regenerations(machine);
    }>("find_unselected_regenerations(machine)", "Find branches created by regeneration that weren't selected."),
    static_method<[](BranchStateMachine& machine, const RecoverableBranch& recoverable) {
        return BranchResolver::recover(machine, recoverable);
    }>("recover(machine, recoverable)",
       "Recover a lost branch using its suggested strategy.\n\nReturns the recovered branch ID."),
    repr<[](const BranchResolver&) { return std::string("BranchResolver()"); }>())

// ---- chains -------------------------------------------------------------------------

HALYARD_CLASS(
    ChainMetadata, "ChainMetadata", "Chain metadata.",
    getter<[](const ChainMetadata& m) { return m.id; }>("id"),
    getter<[](const ChainMetadata& m) { return m.tags; }>("tags"),
    getter<[](const ChainMetadata& m) { return m.title; }>("title"),
    getter<[](const ChainMetadata& m) { return m.created_at; }>("created_at"),
    getter<[](const ChainMetadata& m) { return m.last_accessed_at; }>("last_accessed_at"),
    getter<[](const ChainMetadata& m) { return m.node_count; }>("node_count"),
    getter<[](const ChainMetadata& m) { return m.branch_count; }>("branch_count"),
    getter<[](const ChainMetadata& m) { return m.is_active; }>("is_active"),
    repr<[](const ChainMetadata& m) {
        return "ChainMetadata(id='" + m.id + "', nodes=" + std::to_string(m.node_count) +
               ", branches=" + std::to_string(m.branch_count) + ")";
    }>())

HALYARD_CLASS(
    ChainManager, "ChainManager", "Chain manager for multi-conversation tracking.",
    init<[] { return ChainManager{}; }>("()"),
    method<[](ChainManager& c, std::optional<std::string> chain_id) { return c.create_chain(std::move(chain_id)); }>(
        "create_chain($self, chain_id=None)",
        "Create a new chain with optional ID.\n\nIf chain_id is None, a unique ID is generated.\nReturns the chain ID."),
    method<[](ChainManager& c, const TrajectoryGraph& graph, std::optional<std::string> chain_id) {
        return c.create_chain_from_graph(graph, std::move(chain_id));
    }>("create_chain_from_graph($self, graph, chain_id=None)", "Create a chain from an existing trajectory graph."),
    method<[](const ChainManager& c, std::string chain_id) { return copy_of(c.get_chain(chain_id)); }>(
        "get_chain($self, chain_id)", "Get a chain's state machine by ID."),
    method<[](const ChainManager& c, std::string chain_id) { return copy_of(c.get_metadata(chain_id)); }>(
        "get_metadata($self, chain_id)", "Get chain metadata by ID."),
    method<[](const ChainManager& c, std::string chain_id) { return c.contains(chain_id); }>(
        "contains($self, chain_id)", "Check if a chain exists."),
    method<[](const ChainManager& c) { return c.chain_ids(); }>("chain_ids($self)", "Get all chain IDs."),
    getter<[](const ChainManager& c) { return uint64_t{c.chain_count()}; }>("chain_count", "Get number of chains."),
    getter<[](const ChainManager& c) { return c.active_chain(); }>("active_chain", "Get the currently active chain ID."),
    method<[](ChainManager& c, std::string chain_id) { c.set_active_chain(chain_id); }>(
        "set_active_chain($self, chain_id)", "Set the active chain."),
    method<[](const ChainManager& c) { return copy_of(c.active_chain_machine()); }>(
        "active_chain_machine($self)", "Get the active chain's state machine."),
    method<[](ChainManager& c, std::string chain_id) { return c.delete_chain(chain_id); }>(
        "delete_chain($self, chain_id)", "Delete a chain."),
    method<[](ChainManager& c, std::string chain_id, uint64_t node_id) { return c.split_chain(chain_id, node_id); }>(
        "split_chain($self, chain_id, node_id)", "Split a chain at a node, creating a new chain."),
    method<[](ChainManager& c, std::string from_chain, std::string into_chain) {
        c.merge_chains(from_chain, into_chain);
    }>("merge_chains($self, from_chain, into_chain)", "Merge two chains (from is merged into into, then deleted)."),
    method<[](ChainManager& c, std::string chain_id) { c.deactivate_chain(chain_id); }>(
        "deactivate_chain($self, chain_id)", "Deactivate a chain."),
    method<[](ChainManager& c, std::string chain_id) { c.reactivate_chain(chain_id); }>(
        "reactivate_chain($self, chain_id)", "Reactivate a chain."),
    method<[](const ChainManager& c) {
        const ChainManager::Stats s = c.stats();
        return Dict<uint64_t>{{{"total_chains", s.total_chains},
                               {"active_chains", s.active_chains},
                               {"total_nodes", s.total_nodes},
                               {"total_branches", s.total_branches}}};
    }>("stats($self)", "Get statistics about all managed chains."),
    method<[](const ChainManager& c, std::string tag) { return c.find_by_tag(tag); }>("find_by_tag($self, tag)",
                                                                                     "Find chains by tag."),
    method<[](const ChainManager& c, std::string query) { return c.find_by_title(query); }>(
        "find_by_title($self, query)", "Find chains by title (partial match)."),
    repr<[](const ChainManager& c) {
        const std::string active = c.active_chain() ? "Some(" + quoted(*c.active_chain()) + ")" : "None";
        return "ChainManager(chains=" + std::to_string(c.chain_count()) + ", active=" + active + ")";
    }>())
