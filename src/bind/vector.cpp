// The vector functions: cosine, Euclidean distance, normalisation and the
// trajectory-weighted cosines.
#include "registry.hpp"
#include "vector/similarity.hpp"

namespace core = halyard;

namespace {
// Contiguity is checked for `a`, then `b`, after both were converted.
std::pair<core::FloatSpan, core::FloatSpan> both_spans(const halyard::bind::ArrayF32& a, const halyard::bind::ArrayF32& b) {
    auto sa = a.span();
    return {sa, b.span()};
}
}  // namespace

HALYARD_FUNCTION(cosine_similarity, "cosine_similarity(a, b)", "Compute cosine similarity between two vectors.",
                 [](ArrayF32 a, ArrayF32 b) {
                     auto [sa, sb] = both_spans(a, b);
                     return core::cosine_similarity(sa, sb);
                 })

HALYARD_FUNCTION(euclidean_distance, "euclidean_distance(a, b)", "Compute Euclidean distance between two vectors.",
                 [](ArrayF32 a, ArrayF32 b) {
                     auto [sa, sb] = both_spans(a, b);
                     return core::euclidean_distance(sa, sb);
                 })

HALYARD_FUNCTION(normalize, "normalize(v)", "Normalize a vector to unit length.",
                 [](ArrayF32 v) { return NdArray{core::normalize(v.span())}; })

HALYARD_FUNCTION(trajectory_weighted_cosine, "trajectory_weighted_cosine(a, b, coord_a, coord_b, coord_weight)",
                 "Compute trajectory-weighted cosine similarity (4D coordinates).\n\n"
                 "Blends semantic similarity (cosine) with spatial similarity (coordinate distance).\n\n"
                 "Args:\n"
                 "    a: First embedding vector\n"
                 "    b: Second embedding vector\n"
                 "    coord_a: Trajectory coordinate of first episode\n"
                 "    coord_b: Trajectory coordinate of second episode\n"
                 "    coord_weight: Weight for coordinate component [0, 1]\n"
                 "        - 0.0 = pure semantic similarity\n"
                 "        - 0.5 = balanced\n"
                 "        - 1.0 = pure spatial similarity",
                 [](ArrayF32 a, ArrayF32 b, const core::TrajectoryCoordinate& ca, const core::TrajectoryCoordinate& cb,
                    float coord_weight) {
                     auto [sa, sb] = both_spans(a, b);
                     return core::trajectory_weighted_cosine(sa, sb, ca, cb, coord_weight);
                 })

HALYARD_FUNCTION(trajectory_weighted_cosine_5d, "trajectory_weighted_cosine_5d(a, b, coord_a, coord_b, coord_weight)",
                 "Compute trajectory-weighted cosine similarity (5D coordinates with complexity).",
                 [](ArrayF32 a, ArrayF32 b, const core::TrajectoryCoordinate5D& ca,
                    const core::TrajectoryCoordinate5D& cb, float coord_weight) {
                     auto [sa, sb] = both_spans(a, b);
                     return core::trajectory_weighted_cosine_5d(sa, sb, ca, cb, coord_weight);
                 })
