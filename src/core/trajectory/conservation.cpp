#include "trajectory/conservation.hpp"

#include <cmath>
#include <vector>

#include "common/errors.hpp"

namespace halyard {

ConservationMetrics ConservationMetrics::compute(std::span<const FloatSpan> embeddings,
                                                 std::span<const float> attention) {
    assert_eq(embeddings.size(), attention.size(), "Embeddings and attention must have same length");
    const size_t n = embeddings.size();
    ConservationMetrics m;
    if (n == 0) return m;

    std::vector<float> sum_sq(n);
    for (size_t i = 0; i < n; ++i) sum_sq[i] = sum_squares_sequential(embeddings[i]);

    float magnitude = 0.0f;
    for (size_t i = 0; i < n; ++i) magnitude += attention[i] * std::sqrt(sum_sq[i]);

    // The cosine matrix is symmetric bit for bit (the dot of a pair is the
    // same sequence of products in either order, and the norm product
    // commutes), so each pair is computed once and mirrored.
    std::vector<float> cosines(n * n);
    std::vector<float> dots(n);
    for (size_t i = 0; i < n; ++i) {
        dot_batch(embeddings[i], embeddings.subspan(i), dots.data(), nullptr);
        for (size_t j = i; j < n; ++j) {
            const float c = lenient_cosine_from_sums(dots[j - i], sum_sq[i], sum_sq[j]);
            cosines[i * n + j] = c;
            cosines[j * n + i] = c;
        }
    }
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float* row = cosines.data() + i * n;
        for (size_t j = 0; j < n; ++j) s += (attention[i] * attention[j]) * row[j];
    }
    m.energy = s * 0.5f;

    float h = 0.0f;
    for (float a : attention)
        if (a > 1e-10f) h += a * std::log(a);
    m.magnitude = magnitude;
    m.information = 0.0f - h;  // +0 rather than -0 when nothing contributes
    return m;
}

bool ConservationMetrics::is_conserved(const ConservationMetrics& other, float tolerance) const {
    return std::fabs(magnitude - other.magnitude) < tolerance && std::fabs(energy - other.energy) < tolerance;
}

}  // namespace halyard
