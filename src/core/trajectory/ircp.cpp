#include "trajectory/ircp.hpp"

#include <cmath>

#include "common/errors.hpp"
#include "trajectory/coordinate_computation.hpp"

namespace halyard {

std::vector<float> softmax_weights(std::span<const float> raw, float temperature, float epsilon) {
    const size_t n = raw.size();
    std::vector<float> out(n);
    if (n == 0) return out;
    float m = raw[0];
    for (size_t i = 1; i < n; ++i)
        if (!(m > raw[i])) m = raw[i];
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        out[i] = std::exp((raw[i] - m) / temperature);
        sum += out[i];
    }
    if (sum > 0.0f) {
        // The larger of quotient and epsilon; a NaN quotient becomes epsilon.
        for (float& w : out) {
            const float q = w / sum;
            w = q > epsilon ? q : epsilon;
        }
    } else {
        const float uniform = 1.0f / static_cast<float>(n);
        for (float& w : out) w = uniform;
    }
    return out;
}

std::vector<float> inverse_weights(std::span<const float> attention, std::span<const float> influence) {
    assert_eq(attention.size(), influence.size(), "Attention and influence counts must match");
    const size_t n = attention.size();
    std::vector<float> out(n);
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        out[i] = attention[i] * influence[i];
        sum += out[i];
    }
    if (sum > 0.0f) {
        for (float& w : out) w = w / sum;
    } else if (n > 0) {
        const float uniform = 1.0f / static_cast<float>(n);
        for (float& w : out) w = uniform;
    }
    return out;
}

AttentionWeights IRCPPropagator::compute_attention(const TrajectoryCoordinate5D& query_coord,
                                                   std::span<const TrajectoryCoordinate5D> context_coords,
                                                   FloatSpan query_emb, std::span<const FloatSpan> context_embs) const {
    assert_eq(context_coords.size(), context_embs.size(), "Coordinate and embedding counts must match");
    const size_t n = context_coords.size();
    AttentionWeights out;
    if (n == 0) return out;

    // Semantic terms of all turns at once (bit-identical to lenient_cosine01 per turn).
    std::vector<float> semantic(n);
    lenient_cosine01_batch(query_emb, context_embs, semantic.data());

    const IRCPConfig& c = config_;
    const float semantic_weight = 1.0f - c.spatial_weight;
    out.raw_scores.resize(n);
    coordinate_proximities(query_coord, context_coords, c.weights, out.raw_scores.data());
    for (size_t i = 0; i < n; ++i) {
        const float spatial = out.raw_scores[i];
        if (c.causal_mask && context_coords[i].temporal > query_coord.temporal)
            out.raw_scores[i] = 0.0f;  // masked: stays in the softmax with score 0
        else
            out.raw_scores[i] = spatial * c.spatial_weight + semantic[i] * semantic_weight;
    }

    out.forward = softmax_weights(out.raw_scores, c.temperature, c.epsilon);
    out.inverse = inverse_weights(out.forward, out.forward);
    out.cross = out.forward;
    float mass = 0.0f;
    for (float w : out.forward) mass += w;
    out.total_mass = mass;
    return out;
}

TrajectoryCoordinate5D IRCPPropagator::compute_trajectory_coordinates(FloatSpan embedding,
                                                                      std::span<const float> neighbor_similarities,
                                                                      int32_t session_depth, int32_t turn_index,
                                                                      int32_t sibling_order) const {
    return halyard::compute_trajectory_coordinates(embedding, neighbor_similarities, session_depth, turn_index,
                                                   sibling_order);
}

}  // namespace halyard
