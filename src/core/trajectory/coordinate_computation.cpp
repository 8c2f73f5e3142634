#include "trajectory/coordinate_computation.hpp"

#include <cmath>

namespace halyard {

namespace {

float mean_homogeneity(std::span<const float> s) {
    if (s.empty()) return 0.5f;
    float sum = 0.0f;
    for (float v : s) sum += v;
    const float mean = sum / static_cast<float>(s.size());
    if (mean < 0.0f) return 0.0f;
    if (mean > 1.0f) return 1.0f;
    return mean;  // NaN stays NaN
}

uint32_t spread_complexity(FloatSpan e) {
    if (e.empty()) return 1;
    const float n = static_cast<float>(e.size());
    float sum = 0.0f;
    for (float v : e) sum += v;
    const float mu = sum / n;
    float sq = 0.0f;
    for (float v : e) {
        const float d = v - mu;
        sq += d * d;
    }
    const float variance = sq / n;
    const float c = std::fmax(std::round(std::sqrt(variance) * 10.0f), 1.0f);  // fmax drops a NaN
    if (c >= 4294967296.0f) return UINT32_MAX;
    return static_cast<uint32_t>(c);
}

}  // namespace

TrajectoryCoordinate5D compute_trajectory_coordinates(FloatSpan embedding, std::span<const float> neighbor_similarities,
                                                      int32_t session_depth, int32_t turn_index,
                                                      int32_t sibling_order) {
    TrajectoryCoordinate5D c;
    c.depth = session_depth > 0 ? static_cast<uint32_t>(session_depth) : 0;
    c.sibling_order = sibling_order > 0 ? static_cast<uint32_t>(sibling_order) : 0;
    c.homogeneity = mean_homogeneity(neighbor_similarities);
    c.temporal = std::fmin(static_cast<float>(turn_index) / 100.0f, 1.0f);
    c.complexity = spread_complexity(embedding);
    return c;
}

}  // namespace halyard
