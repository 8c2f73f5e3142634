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

    // The dot matrix, upper triangle. Its diagonal is each vector's sum of
    // squares (the same products added in the same order).
    std::vector<float> cosines(n * n);
    pairwise_dots_upper(embeddings, cosines.data());
    // Norms once per vector: sqrt is exactly rounded, so sharing them changes nothing.
    std::vector<float> norms(n);
    for (size_t i = 0; i < n; ++i) norms[i] = std::sqrt(cosines[i * n + i]);

    float magnitude = 0.0f;
    for (size_t i = 0; i < n; ++i) magnitude += attention[i] * norms[i];

    // The cosine matrix is symmetric bit for bit (the dot of a pair is the
    // same sequence of products in either order, and the norm product
    // commutes), so each pair is computed once and mirrored.
    for (size_t i = 0; i < n; ++i) {
        float* row = cosines.data() + i * n;
        lenient_cosines_from_norms(row + i, norms[i], norms.data() + i, n - i, row + i);
        for (size_t j = i + 1; j < n; ++j) cosines[j * n + i] = row[j];
    }
    std::vector<float> terms(n);
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float* row = cosines.data() + i * n;
        const float ai = attention[i];
        for (size_t j = 0; j < n; ++j) terms[j] = (ai * attention[j]) * row[j];
        for (size_t j = 0; j < n; ++j) s += terms[j];
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
