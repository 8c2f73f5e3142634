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

float trajectory_weighted_cosine(FloatSpan a, FloatSpan b, const TrajectoryCoordinate& ca,
                                 const TrajectoryCoordinate& cb, float coord_weight);
float trajectory_weighted_cosine_5d(FloatSpan a, FloatSpan b, const TrajectoryCoordinate5D& ca,
                                    const TrajectoryCoordinate5D& cb, float coord_weight);

}  // namespace halyard
