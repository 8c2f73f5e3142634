#include "vector/similarity.hpp"

#include <algorithm>
#include <cmath>

#include "common/errors.hpp"

namespace halyard {

namespace {

void require_same_dimension(FloatSpan a, FloatSpan b) {
    if (a.size() != b.size()) throw ValueError("Vectors must have same dimension");
}

// The three sums of a cosine, each in index order; interleaving independent
// sums keeps each one's order while letting their latencies overlap.
struct CosineSums {
    float dot = 0.0f, na = 0.0f, nb = 0.0f;
};

CosineSums cosine_sums(FloatSpan a, FloatSpan b) {
    CosineSums s;
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        s.dot += a[i] * b[i];
        s.na += a[i] * a[i];
        s.nb += b[i] * b[i];
    }
    for (size_t i = common; i < a.size(); ++i) s.na += a[i] * a[i];
    for (size_t i = common; i < b.size(); ++i) s.nb += b[i] * b[i];
    return s;
}

float cosine_from_sums(const CosineSums& s) { return lenient_cosine_from_sums(s.dot, s.na, s.nb); }

float clamp01(float v) {
    if (v < 0.0f) return 0.0f;
    if (v > 1.0f) return 1.0f;
    return v;  // NaN stays NaN
}

}  // namespace

float lenient_cosine_from_sums(float dot, float sum_sq_a, float sum_sq_b) {
    // sqrt(x) is 0 exactly when x is 0, so the zero test may use either.
    return lenient_cosine_from_norms(dot, std::sqrt(sum_sq_a), std::sqrt(sum_sq_b));
}

float dot_sequential(FloatSpan a, FloatSpan b) {
    float s = 0.0f;
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

float sum_squares_sequential(FloatSpan a) {
    float s = 0.0f;
    for (float x : a) s += x * x;
    return s;
}

float cosine_similarity(FloatSpan a, FloatSpan b) {
    require_same_dimension(a, b);
    return cosine_from_sums(cosine_sums(a, b));
}

float lenient_cosine(FloatSpan a, FloatSpan b) { return cosine_from_sums(cosine_sums(a, b)); }

float euclidean_distance(FloatSpan a, FloatSpan b) {
    require_same_dimension(a, b);
    float s = 0.0f;
    for (size_t i = 0; i < a.size(); ++i) {
        const float d = a[i] - b[i];
        s += d * d;
    }
    return std::sqrt(s);
}

std::vector<float> normalize(FloatSpan v) {
    const float s = sum_squares_sequential(v);
    if (s == 0.0f) throw ValueError("Cannot normalize zero vector");
    const float norm = std::sqrt(s);
    std::vector<float> out(v.size());
    for (size_t i = 0; i < v.size(); ++i) out[i] = v[i] / norm;
    return out;
}

float trajectory_weighted_cosine(FloatSpan a, FloatSpan b, const TrajectoryCoordinate& ca,
                                 const TrajectoryCoordinate& cb, float coord_weight) {
    const float c = cosine_similarity(a, b);
    const float w = clamp01(coord_weight);
    const float d = ca.distance(cb);
    const float s = clamp01(d * -0.25f + 1.0f);
    return (1.0f - w) * c + w * s;
}

float trajectory_weighted_cosine_5d(FloatSpan a, FloatSpan b, const TrajectoryCoordinate5D& ca,
                                    const TrajectoryCoordinate5D& cb, float coord_weight) {
    const float c = cosine_similarity(a, b);
    const float w = clamp01(coord_weight);
    const float d = ca.distance(cb);
    const float s = clamp01(d / -4.5f + 1.0f);
    return (1.0f - w) * c + w * s;
}

}  // namespace halyard
