// I-RCP attention: context turns weighed against a query turn by coordinate
// proximity and embedding similarity, then a temperature softmax.
// All arithmetic is single precision; every sum runs in index order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "trajectory/coordinates.hpp"
#include "vector/similarity.hpp"

namespace halyard {

struct IRCPConfig {
    float temperature = 1.0f;
    TesselWeights weights{};      // coordinate weights of the spatial distance
    float spatial_weight = 0.3f;  // the semantic term gets 1 - spatial_weight
    float epsilon = 1e-10f;       // lower bound of each forward weight
    bool causal_mask = false;     // mask context turns later than the query

    static IRCPConfig default_config() { return {}; }
    static IRCPConfig semantic_focused() { return {1.0f, TesselWeights::semantic_focused(), 0.1f, 1e-10f, false}; }
    static IRCPConfig spatial_focused() { return {1.0f, TesselWeights::structural_focused(), 0.7f, 1e-10f, false}; }
    static IRCPConfig causal() { return {1.0f, TesselWeights::defaults(), 0.3f, 1e-10f, true}; }
    static IRCPConfig sharp() { return {0.1f, TesselWeights::defaults(), 0.3f, 1e-10f, false}; }
    static IRCPConfig diffuse() { return {3.0f, TesselWeights::defaults(), 0.3f, 1e-10f, false}; }
};

struct AttentionWeights {
    std::vector<float> forward;     // softmax weights, floored at epsilon
    std::vector<float> inverse;     // forward squared and renormalised
    std::vector<float> cross;       // a copy of forward
    std::vector<float> raw_scores;  // scores before the softmax
    float total_mass = 0.0f;        // sum of the forward weights

    size_t len() const { return forward.size(); }
};

// Temperature softmax with maximum subtraction; each weight floored at
// epsilon after normalising (not renormalised). A sum that is not positive
// (NaN included) gives the uniform distribution.
std::vector<float> softmax_weights(std::span<const float> raw, float temperature, float epsilon);

// attention[i] * influence[i], renormalised to sum 1 (uniform when the sum is
// not positive). Unequal lengths are an internal failure.
std::vector<float> inverse_weights(std::span<const float> attention, std::span<const float> influence);

class IRCPPropagator {
public:
    IRCPPropagator() = default;
    explicit IRCPPropagator(const IRCPConfig& config) : config_(config) {}

    const IRCPConfig& config() const { return config_; }

    // Unequal numbers of coordinates and embeddings are an internal failure.
    AttentionWeights compute_attention(const TrajectoryCoordinate5D& query_coord,
                                       std::span<const TrajectoryCoordinate5D> context_coords, FloatSpan query_emb,
                                       std::span<const FloatSpan> context_embs) const;

    // The coordinate of a new turn (see coordinate_computation.hpp); the
    // configuration plays no part in it.
    TrajectoryCoordinate5D compute_trajectory_coordinates(FloatSpan embedding,
                                                          std::span<const float> neighbor_similarities,
                                                          int32_t session_depth, int32_t turn_index,
                                                          int32_t sibling_order) const;

private:
    IRCPConfig config_{};
};

}  // namespace halyard
