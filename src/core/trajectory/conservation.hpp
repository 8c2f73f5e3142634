// Conservation metrics: summaries of embeddings weighted by an attention
// distribution, used to check that a propagation step conserves them.
#pragma once

#include <span>

#include "vector/similarity.hpp"

namespace halyard {

struct ConservationMetrics {
    float magnitude = 0.0f;    // sum of a_i * |e_i|
    float energy = 0.0f;       // 0.5 * sum over all pairs (i, j) of a_i * a_j * cos(e_i, e_j)
    float information = 0.0f;  // -sum of a_i * ln(a_i) over weights above 1e-10

    // Weights are used as given (not normalised, may be negative). Cosines
    // are lenient: unequal lengths accepted, 0 for a zero or empty vector.
    // Unequal counts of embeddings and weights are an internal failure.
    static ConservationMetrics compute(std::span<const FloatSpan> embeddings, std::span<const float> attention);

    // Magnitude and energy each within `tolerance` (strict); information is not compared.
    bool is_conserved(const ConservationMetrics& other, float tolerance) const;
};

}  // namespace halyard
