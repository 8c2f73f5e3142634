// Reference vector arithmetic: 32-bit sums accumulated in index order.
#pragma once

#include <span>
#include <vector>

#include "trajectory/coordinates.hpp"

namespace halyard {

using FloatSpan = std::span<const float>;

float dot_sequential(FloatSpan a, FloatSpan b);  // over the first min(len) components
float sum_squares_sequential(FloatSpan a);

// Strict cosine of equal-length vectors; 0 when either sum of squares is 0.
// Throws ValueError on unequal lengths.
float cosine_similarity(FloatSpan a, FloatSpan b);
float euclidean_distance(FloatSpan a, FloatSpan b);
// Throws ValueError("Cannot normalize zero vector") when the sum of squares is 0.
std::vector<float> normalize(FloatSpan v);

// Lenient cosine: the dot product over the first min(len) components divided
// by the product of the square roots of each full sum of squares; unequal
// lengths accepted; 0 when either sum of squares is 0 (empty vectors included).
float lenient_cosine(FloatSpan a, FloatSpan b);
// The lenient cosine mapped to [0, 1] as (cos + 1) * 0.5 (0.5 for a zero norm).
inline float lenient_cosine01(FloatSpan a, FloatSpan b) { return (lenient_cosine(a, b) + 1.0f) * 0.5f; }
// The lenient cosine from the dot product and the two norms (square roots
// of the full sums of squares): dot / (norm_a * norm_b), 0 for a zero norm.
inline float lenient_cosine_from_norms(float dot, float norm_a, float norm_b) {
    if (norm_a == 0.0f || norm_b == 0.0f) return 0.0f;
    return dot / (norm_a * norm_b);
}
// The same from the two sums of squares.
float lenient_cosine_from_sums(float dot, float sum_sq_a, float sum_sq_b);

// Batches against one query. Results are bit-identical to the single-pair
// functions: SIMD lanes carry different vectors of `others`, each summed in
// index order.
// dots[i] = dot_sequential(query, others[i]); sum_sq[i] = sum_squares_sequential(others[i]) unless sum_sq is null.
void dot_batch(FloatSpan query, std::span<const FloatSpan> others, float* dots, float* sum_sq);
// out[i] = lenient_cosine(query, others[i]) / lenient_cosine01(query, others[i]).
void lenient_cosine_batch(FloatSpan query, std::span<const FloatSpan> others, float* out);
void lenient_cosine01_batch(FloatSpan query, std::span<const FloatSpan> others, float* out);
// out[k] = lenient_cosine_from_norms(dots[k], norm_a, norms_b[k]) for k < count (vectorisable).
void lenient_cosines_from_norms(const float* dots, float norm_a, const float* norms_b, size_t count, float* out);
// Called by pairwise_dots_upper once rows [first, first + count) of the
// upper triangle are complete; returns values to add to its running sum.
struct RowsReady {
    std::span<const float> (*fn)(void* context, size_t first, size_t count);
    void* context;
    std::span<const float> call(size_t first, size_t count) const { return fn(context, first, count); }
};
// out[i * n + j] = dot_sequential(v[i], v[j]) for every j >= i (n = v.size());
// entries below the diagonal are left to the caller. sum_sq[i] =
// sum_squares_sequential(v[i]), all filled before the first call of `ready`.
// Rows complete in increasing order; after each batch `ready` may fill in
// whatever it needs and hand back values, which are added in order to one
// sequential 32-bit sum (started at 0) while the next rows are computed.
// Returns that sum after the last values.
float pairwise_dots_upper(std::span<const FloatSpan> v, float* out, float* sum_sq, RowsReady ready);

float trajectory_weighted_cosine(FloatSpan a, FloatSpan b, const TrajectoryCoordinate& ca,
                                 const TrajectoryCoordinate& cb, float coord_weight);
float trajectory_weighted_cosine_5d(FloatSpan a, FloatSpan b, const TrajectoryCoordinate5D& ca,
                                    const TrajectoryCoordinate5D& cb, float coord_weight);

}  // namespace halyard
