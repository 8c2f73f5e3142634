// Trajectory coordinates (4D and 5D), their dimension weights and distances.
// All arithmetic is single precision in the order written.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace halyard {

struct TrajectoryCoordinate {
    uint32_t depth = 0;
    uint32_t sibling_order = 0;
    float homogeneity = 0.0f;
    float temporal = 0.0f;

    static TrajectoryCoordinate root() { return {0, 0, 1.0f, 0.0f}; }

    float distance(const TrajectoryCoordinate& other) const;
    float manhattan_distance(const TrajectoryCoordinate& other) const;
    float weighted_distance(const TrajectoryCoordinate& other, const std::array<float, 4>& w) const;
};

struct TrajectoryCoordinate5D {
    uint32_t depth = 0;
    uint32_t sibling_order = 0;
    float homogeneity = 0.0f;
    float temporal = 0.0f;
    uint32_t complexity = 1;

    static TrajectoryCoordinate5D root() { return {0, 0, 1.0f, 0.0f, 1}; }
    static TrajectoryCoordinate5D from_4d(const TrajectoryCoordinate& c, uint32_t complexity = 1) {
        return {c.depth, c.sibling_order, c.homogeneity, c.temporal, complexity};
    }
    TrajectoryCoordinate to_4d() const { return {depth, sibling_order, homogeneity, temporal}; }

    float distance(const TrajectoryCoordinate5D& other) const;
    float complexity_factor() const;
    bool is_multimodal() const { return complexity > 1; }
};

// Per-dimension weights of the coordinate space.
struct TesselWeights {
    float depth = 0.25f;
    float sibling = 0.15f;
    float homogeneity = 0.30f;
    float temporal = 0.20f;
    float complexity = 0.10f;

    static TesselWeights defaults() { return {}; }
    static TesselWeights semantic_focused() { return {0.15f, 0.10f, 0.50f, 0.15f, 0.10f}; }
    static TesselWeights structural_focused() { return {0.35f, 0.25f, 0.15f, 0.15f, 0.10f}; }
    static TesselWeights temporal_focused() { return {0.15f, 0.10f, 0.20f, 0.45f, 0.10f}; }
    static TesselWeights equal() { return {0.2f, 0.2f, 0.2f, 0.2f, 0.2f}; }
};

// Weighted Euclidean distance between two 5D coordinates: each absolute
// difference (integers converted to float first; complexity as ln(1 + c))
// is multiplied by its weight before squaring; squares added in field order.
float weighted_coordinate_distance(const TrajectoryCoordinate5D& a, const TrajectoryCoordinate5D& b,
                                   const TesselWeights& w);

// exp(-weighted distance): 1 for identical coordinates.
float coordinate_proximity(const TrajectoryCoordinate5D& a, const TrajectoryCoordinate5D& b,
                           const TesselWeights& w);
// out[i] = coordinate_proximity(a, others[i], w), bit for bit; the logarithm
// of a's complexity and of small complexities is taken once per call.
void coordinate_proximities(const TrajectoryCoordinate5D& a, std::span<const TrajectoryCoordinate5D> others,
                            const TesselWeights& w, float* out);

}  // namespace halyard
