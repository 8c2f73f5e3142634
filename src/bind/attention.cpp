// I-RCP attention, rings of turns and the coordinate of a new turn.
#include <string>
#include <tuple>
#include <vector>

#include "framework/format.hpp"
#include "registry.hpp"
#include "trajectory/coordinate_computation.hpp"
#include "trajectory/ircp.hpp"
#include "trajectory/ring.hpp"

namespace core = halyard;
using core::AttentionWeights;
using core::DualRing;
using core::IRCPConfig;
using core::IRCPPropagator;
using core::Ring;
using TC5 = core::TrajectoryCoordinate5D;

namespace {

using halyard::bind::ArrayF32;
using halyard::bind::NdArray;
using halyard::bind::Opt;

std::optional<std::tuple<uint64_t, TC5>> element(const core::RingElement* e) {
    if (!e) return std::nullopt;
    return std::tuple<uint64_t, TC5>{e->id, e->coord};
}

}  // namespace

HALYARD_CLASS(
    IRCPConfig, "IRCPConfig", "I-RCP configuration for attention computation.",
    init<[](Opt<float> temperature, Opt<float> spatial_weight, Opt<bool> causal_mask) {
        IRCPConfig c = IRCPConfig::default_config();
        c.temperature = std::move(temperature).value_or(1.0f);
        c.spatial_weight = std::move(spatial_weight).value_or(0.3f);
        c.causal_mask = std::move(causal_mask).value_or(false);
        return c;
    }>("(temperature=1.0, spatial_weight=0.3, causal_mask=False)"),
    static_method<[] { return IRCPConfig::default_config(); }>("default_config()", "Default I-RCP config."),
    static_method<[] { return IRCPConfig::semantic_focused(); }>(
        "semantic_focused()", "Semantic-focused attention (favor embedding similarity)."),
    static_method<[] { return IRCPConfig::spatial_focused(); }>(
        "spatial_focused()", "Spatial-focused attention (favor coordinate distance)."),
    static_method<[] { return IRCPConfig::causal(); }>("causal()", "Causal attention (no looking at future)."),
    static_method<[] { return IRCPConfig::sharp(); }>("sharp()", "Sharp attention (low temperature)."),
    static_method<[] { return IRCPConfig::diffuse(); }>("diffuse()", "Diffuse attention (high temperature)."),
    getter<[](const IRCPConfig& c) { return c.temperature; }>("temperature"),
    getter<[](const IRCPConfig& c) { return c.spatial_weight; }>("spatial_weight"),
    getter<[](const IRCPConfig& c) { return c.causal_mask; }>("causal_mask"),
    repr<[](const IRCPConfig& c) {
        return "IRCPConfig(temp=" + fixed(c.temperature, 2) + ", spatial=" + fixed(c.spatial_weight, 2) +
               ", causal=" + (c.causal_mask ? "true" : "false") + ")";
    }>())

HALYARD_CLASS(
    AttentionWeights, "AttentionWeights", "Attention weights from I-RCP propagation.",
    getter<[](const AttentionWeights& w) { return NdArray{w.forward}; }>("forward"),
    getter<[](const AttentionWeights& w) { return NdArray{w.inverse}; }>("inverse"),
    getter<[](const AttentionWeights& w) { return NdArray{w.cross}; }>("cross"),
    getter<[](const AttentionWeights& w) { return NdArray{w.raw_scores}; }>("raw_scores"),
    getter<[](const AttentionWeights& w) { return w.total_mass; }>("total_mass"),
    len<[](const AttentionWeights& w) { return w.len(); }>(),
    repr<[](const AttentionWeights& w) {
        return "AttentionWeights(len=" + std::to_string(w.len()) + ", total_mass=" + fixed(w.total_mass, 3) + ")";
    }>())

HALYARD_CLASS(
    IRCPPropagator, "IRCPPropagator", "I-RCP propagator for computing attention weights.",
    init<[](const IRCPConfig* config) {
        return config ? IRCPPropagator(*config) : IRCPPropagator(IRCPConfig::default_config());
    }>("(config=None)"),
    method<[](const IRCPPropagator& self, const TC5& query_coord, std::vector<TC5> context_coords,
              ArrayF32 query_emb, std::vector<ArrayF32> context_embs) {
        const core::FloatSpan query = query_emb.span();
        const std::vector<core::FloatSpan> context = spans(context_embs);
        return self.compute_attention(query_coord, context_coords, query, context);
    }>("compute_attention($self, query_coord, context_coords, query_emb, context_embs)",
       "Compute full I-RCP attention (forward + inverse + cross)."),
    method<[](const IRCPPropagator& self, ArrayF32 embedding, std::vector<std::tuple<std::string, float>> neighbors,
              std::vector<TC5> /*neighbor_coords*/, Opt<int32_t> session_depth, Opt<int32_t> turn_index,
              Opt<int32_t> /*sibling_count*/, Opt<int32_t> sibling_order, Opt<std::string> /*project_phase*/) {
        std::vector<float> similarities;
        similarities.reserve(neighbors.size());
        for (const auto& n : neighbors) similarities.push_back(std::get<1>(n));
        const core::FloatSpan e = embedding.span();
        return self.compute_trajectory_coordinates(e, similarities, std::move(session_depth).value_or(0),
                                                   std::move(turn_index).value_or(0),
                                                   std::move(sibling_order).value_or(0));
    }>("compute_trajectory_coordinates($self, embedding, neighbors, neighbor_coords, session_depth=0, turn_index=0, "
       "sibling_count=1, sibling_order=0, project_phase=\"implementation\")",
       "Compute trajectory coordinates for a new turn based on context.\n"
       "\n"
       "Args:\n"
       "    embedding: The embedding vector for the new turn.\n"
       "    neighbors: List of (turn_id, similarity) tuples for neighbor turns.\n"
       "    neighbor_coords: Trajectory coordinates of neighbor turns.\n"
       "    session_depth: Current depth within the session.\n"
       "    turn_index: Index of this turn within its conversation.\n"
       "    sibling_count: Number of sibling branches at this depth.\n"
       "    sibling_order: Order among siblings (0-indexed).\n"
       "    project_phase: Project phase string (e.g., \"planning\", \"implementation\").\n"
       "\n"
       "Returns:\n"
       "    PyTrajectoryCoordinate5D with computed coordinates."),
    repr<[](const IRCPPropagator&) { return std::string("IRCPPropagator()"); }>())

HALYARD_CLASS(
    Ring, "Ring",
    "Simple ring structure for Python (stores NodeId + coordinate pairs).\n\n"
    "Ring topology provides:\n"
    "- Circular access (wrapping indices)\n"
    "- Ring distance (shortest path in either direction)\n"
    "- Neighbor iteration within radius",
    init<[] { return Ring(); }>("()"),
    static_method<[](uint64_t capacity) { return Ring::with_capacity(capacity); }>(
        "with_capacity(capacity)", "Create ring with initial capacity."),
    method<[](Ring& self, uint64_t id, const TC5& coord) { self.push(id, coord); }>("push($self, id, coord)",
                                                                                     "Add an element to the ring."),
    method<[](const Ring& self, uint64_t idx) { return element(self.get(idx)); }>("get($self, idx)",
                                                                                    "Get element at index (wrapping)."),
    getter<[](const Ring& self) { return self.len(); }>("len", "Number of elements in ring."),
    method<[](const Ring& self) { return self.is_empty(); }>("is_empty($self)", "Check if ring is empty."),
    method<[](const Ring& self, uint64_t a, uint64_t b) { return self.ring_distance(a, b); }>(
        "ring_distance($self, a, b)", "Get ring distance between two indices."),
    method<[](const Ring& self, uint64_t idx) { return self.next_idx(idx); }>("next_idx($self, idx)",
                                                                               "Get next index (wrapping)."),
    method<[](const Ring& self, uint64_t idx) { return self.prev_idx(idx); }>("prev_idx($self, idx)",
                                                                               "Get previous index (wrapping)."),
    method<[](const Ring& self, uint64_t idx, uint64_t radius) { return self.neighbor_indices(idx, radius); }>(
        "neighbor_indices($self, idx, radius)", "Get neighbor indices within radius."),
    repr<[](const Ring& self) { return "Ring(len=" + std::to_string(self.len()) + ")"; }>())

HALYARD_CLASS(
    DualRing, "DualRing",
    "Dual-ring structure for I-RCP (forward + inverse rings).\n\n"
    "Forward ring: assistant responses\n"
    "Inverse ring: user messages\n"
    "Used for computing I-RCP attention.",
    init<[] { return DualRing(); }>("()"),
    method<[](DualRing& self, uint64_t id, const TC5& coord, bool is_user) { self.add(id, coord, is_user); }>(
        "add($self, id, coord, is_user)", "Add a node to the appropriate ring based on is_user."),
    getter<[](const DualRing& self) { return self.len(); }>("len", "Get total count of nodes."),
    method<[](const DualRing& self) { return self.is_empty(); }>("is_empty($self)", "Check if empty."),
    method<[](const DualRing& self) { return self.forward_len(); }>("forward_len($self)",
                                                                     "Get forward ring length (assistant responses)."),
    method<[](const DualRing& self) { return self.inverse_len(); }>("inverse_len($self)",
                                                                     "Get inverse ring length (user messages)."),
    method<[](const DualRing& self, uint64_t idx) { return element(self.get_forward(idx)); }>(
        "get_forward($self, idx)", "Get node from forward ring by index."),
    method<[](const DualRing& self, uint64_t idx) { return element(self.get_inverse(idx)); }>(
        "get_inverse($self, idx)", "Get node from inverse ring by index."),
    repr<[](const DualRing& self) {
        return "DualRing(forward=" + std::to_string(self.forward_len()) +
               ", inverse=" + std::to_string(self.inverse_len()) + ")";
    }>())

HALYARD_FUNCTION(compute_trajectory_coordinates,
                 "compute_trajectory_coordinates(embedding, neighbor_similarities, session_depth=0, turn_index=0, "
                 "sibling_count=1, sibling_order=0, project_phase=\"implementation\")",
                 "Compute trajectory coordinates for a new turn.\n"
                 "\n"
                 "Standalone function for computing 5D trajectory coordinates from context.\n"
                 "This is a convenience wrapper around IRCPPropagator.compute_trajectory_coordinates.\n"
                 "\n"
                 "Args:\n"
                 "    embedding: The embedding vector for the new turn.\n"
                 "    neighbor_similarities: List of similarity scores to neighbor turns.\n"
                 "    session_depth: Current depth within the session.\n"
                 "    turn_index: Index of this turn within its conversation.\n"
                 "    sibling_count: Number of sibling branches at this depth.\n"
                 "    sibling_order: Order among siblings (0-indexed).\n"
                 "    project_phase: Project phase string (e.g., \"exploration\", \"planning\", \"implementation\", "
                 "etc.)\n"
                 "\n"
                 "Returns:\n"
                 "    PyTrajectoryCoordinate5D with computed coordinates.",
                 [](ArrayF32 embedding, std::vector<float> neighbor_similarities, Opt<int32_t> session_depth,
                    Opt<int32_t> turn_index, Opt<int32_t> /*sibling_count*/, Opt<int32_t> sibling_order,
                    Opt<std::string> /*project_phase*/) {
                     const core::FloatSpan e = embedding.span();
                     return core::compute_trajectory_coordinates(e, neighbor_similarities,
                                                                 std::move(session_depth).value_or(0),
                                                                 std::move(turn_index).value_or(0),
                                                                 std::move(sibling_order).value_or(0));
                 })
