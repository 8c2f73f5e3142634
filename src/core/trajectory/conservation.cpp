#include "trajectory/conservation.hpp"

#include <cmath>
#include <memory>
#include <vector>

#include "common/errors.hpp"

namespace halyard {

namespace {

// Above this many embeddings the cosine matrix is not kept (it would take
// n * n floats): each row is recomputed when the energy sum reaches it.
constexpr size_t kMatrixLimit = 4096;

// energy sum, row i: s += (a_i * a_j) * c_ij for j = 0 .. n-1, in order.
float add_row(float s, float ai, std::span<const float> attention, const float* cosines, std::vector<float>& terms) {
    const size_t n = attention.size();
    for (size_t j = 0; j < n; ++j) terms[j] = (ai * attention[j]) * cosines[j];
    for (size_t j = 0; j < n; ++j) s += terms[j];
    return s;
}

}  // namespace

ConservationMetrics ConservationMetrics::compute(std::span<const FloatSpan> embeddings,
                                                 std::span<const float> attention) {
    assert_eq(embeddings.size(), attention.size(), "Embeddings and attention must have same length");
    const size_t n = embeddings.size();
    ConservationMetrics m;
    if (n == 0) return m;

    std::vector<float> norms(n);  // sqrt is exactly rounded, so sharing the norms changes nothing
    std::vector<float> terms(n);
    float s = 0.0f;
    if (n <= kMatrixLimit) {
        // The dot matrix, upper triangle. Its diagonal is each vector's sum
        // of squares (the same products added in the same order).
        // Every entry is written: the upper triangle by the dots, the rest by mirroring.
        std::unique_ptr<float[]> matrix(new float[n * n]);
        float* cosines = matrix.get();
        pairwise_dots_upper(embeddings, cosines);
        for (size_t i = 0; i < n; ++i) norms[i] = std::sqrt(cosines[i * n + i]);
        // The cosine matrix is symmetric bit for bit (the dot of a pair is
        // the same sequence of products in either order, and the norm
        // product commutes), so each pair is computed once and mirrored.
        for (size_t i = 0; i < n; ++i) {
            float* row = cosines + i * n;
            lenient_cosines_from_norms(row + i, norms[i], norms.data() + i, n - i, row + i);
            for (size_t j = i + 1; j < n; ++j) cosines[j * n + i] = row[j];
        }
        for (size_t i = 0; i < n; ++i) s = add_row(s, attention[i], attention, cosines + i * n, terms);
    } else {
        std::vector<float> row(n);
        for (size_t i = 0; i < n; ++i) norms[i] = std::sqrt(sum_squares_sequential(embeddings[i]));
        for (size_t i = 0; i < n; ++i) {
            dot_batch(embeddings[i], embeddings, row.data(), nullptr);
            lenient_cosines_from_norms(row.data(), norms[i], norms.data(), n, row.data());
            s = add_row(s, attention[i], attention, row.data(), terms);
        }
    }
    m.energy = s * 0.5f;

    float magnitude = 0.0f;
    for (size_t i = 0; i < n; ++i) magnitude += attention[i] * norms[i];
    m.magnitude = magnitude;

    float h = 0.0f;
    for (float a : attention)
        if (a > 1e-10f) h += a * std::log(a);
    m.information = 0.0f - h;  // +0 rather than -0 when nothing contributes
    return m;
}

bool ConservationMetrics::is_conserved(const ConservationMetrics& other, float tolerance) const {
    return std::fabs(magnitude - other.magnitude) < tolerance && std::fabs(energy - other.energy) < tolerance;
}

}  // namespace halyard
