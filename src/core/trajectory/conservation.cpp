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

// The energy terms of rows as the pairwise kernel completes them:
// (a_i * a_j) * c_ij for j = 0 .. n-1, row after row. The kernel adds them
// to its sequential sum in exactly that order.
struct RowTerms {
    float* matrix;  // n x n: dot products above the diagonal, turned into cosines here
    std::span<const float> attention;
    std::span<const float> sum_sq;
    std::vector<float>& norms;
    std::vector<float>& terms;
    bool have_norms;

    static std::span<const float> ready(void* context, size_t first, size_t count) {
        auto& self = *static_cast<RowTerms*>(context);
        const size_t n = self.attention.size();
        if (!self.have_norms) {
            for (size_t i = 0; i < n; ++i) self.norms[i] = std::sqrt(self.sum_sq[i]);
            self.have_norms = true;
        }
        if (self.terms.size() < count * n) self.terms.resize(count * n);
        for (size_t i = first; i < first + count; ++i) {
            // The cosine matrix is symmetric bit for bit (the dot of a pair is
            // the same sequence of products in either order, and the norm
            // product commutes): row i's upper part is computed, its lower
            // part was mirrored from the earlier rows.
            float* row = self.matrix + i * n;
            lenient_cosines_from_norms(row + i, self.norms[i], self.norms.data() + i, n - i, row + i);
            for (size_t j = i + 1; j < n; ++j) self.matrix[j * n + i] = row[j];
            float* out = self.terms.data() + (i - first) * n;
            const float ai = self.attention[i];
            for (size_t j = 0; j < n; ++j) out[j] = (ai * self.attention[j]) * row[j];
        }
        return {self.terms.data(), count * n};
    }
};

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
        // Every entry is written: the upper triangle by the dots, the rest by mirroring.
        std::unique_ptr<float[]> matrix(new float[n * n]);
        std::vector<float> sum_sq(n);
        RowTerms rows{matrix.get(), attention, sum_sq, norms, terms, false};
        s = pairwise_dots_upper(embeddings, matrix.get(), sum_sq.data(), {&RowTerms::ready, &rows});
    } else {
        std::vector<float> row(n);
        for (size_t i = 0; i < n; ++i) norms[i] = std::sqrt(sum_squares_sequential(embeddings[i]));
        for (size_t i = 0; i < n; ++i) {
            dot_batch(embeddings[i], embeddings, row.data(), nullptr);
            lenient_cosines_from_norms(row.data(), norms[i], norms.data(), n, row.data());
            for (size_t j = 0; j < n; ++j) terms[j] = (attention[i] * attention[j]) * row[j];
            for (size_t j = 0; j < n; ++j) s += terms[j];
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
