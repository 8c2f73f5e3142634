#include "trajectory/coordinates.hpp"

#include <cmath>

namespace halyard {

namespace {
inline float f(uint32_t v) { return static_cast<float>(v); }
inline float log_complexity(uint32_t c) { return std::log1p(f(c)); }
}  // namespace

float TrajectoryCoordinate::distance(const TrajectoryCoordinate& o) const {
    const float dd = f(depth) - f(o.depth);
    const float ds = f(sibling_order) - f(o.sibling_order);
    const float dh = homogeneity - o.homogeneity;
    const float dt = temporal - o.temporal;
    return std::sqrt(((dd * dd + ds * ds) + dh * dh) + dt * dt);
}

float TrajectoryCoordinate::manhattan_distance(const TrajectoryCoordinate& o) const {
    const auto absdiff = [](uint32_t a, uint32_t b) { return f(a > b ? a - b : b - a); };
    return ((absdiff(depth, o.depth) + absdiff(sibling_order, o.sibling_order)) +
            std::fabs(homogeneity - o.homogeneity)) +
           std::fabs(temporal - o.temporal);
}

float TrajectoryCoordinate::weighted_distance(const TrajectoryCoordinate& o,
                                              const std::array<float, 4>& w) const {
    const float ad = w[0] * std::fabs(f(depth) - f(o.depth));
    const float as = w[1] * std::fabs(f(sibling_order) - f(o.sibling_order));
    const float ah = w[2] * std::fabs(homogeneity - o.homogeneity);
    const float at = w[3] * std::fabs(temporal - o.temporal);
    return std::sqrt(((ad * ad + as * as) + ah * ah) + at * at);
}

float TrajectoryCoordinate5D::distance(const TrajectoryCoordinate5D& o) const {
    const float dd = f(depth) - f(o.depth);
    const float ds = f(sibling_order) - f(o.sibling_order);
    const float dh = homogeneity - o.homogeneity;
    const float dt = temporal - o.temporal;
    const float dc = log_complexity(complexity) - log_complexity(o.complexity);
    return std::sqrt((((dd * dd + ds * ds) + dh * dh) + dt * dt) + dc * dc);
}

float TrajectoryCoordinate5D::complexity_factor() const {
    constexpr float kLn11 = 2.3978953f;
    return log_complexity(complexity) / kLn11;
}

namespace {
// The weighted distance given ln(1 + complexity) of both sides.
inline float weighted_distance_logs(const TrajectoryCoordinate5D& a, const TrajectoryCoordinate5D& b, float log_a,
                                    float log_b, const TesselWeights& w) {
    const float d = w.depth * std::fabs(f(a.depth) - f(b.depth));
    const float s = w.sibling * std::fabs(f(a.sibling_order) - f(b.sibling_order));
    const float h = w.homogeneity * std::fabs(a.homogeneity - b.homogeneity);
    const float t = w.temporal * std::fabs(a.temporal - b.temporal);
    const float c = w.complexity * std::fabs(log_a - log_b);
    return std::sqrt((((d * d + s * s) + h * h) + t * t) + c * c);
}
}  // namespace

float weighted_coordinate_distance(const TrajectoryCoordinate5D& a, const TrajectoryCoordinate5D& b,
                                   const TesselWeights& w) {
    return weighted_distance_logs(a, b, log_complexity(a.complexity), log_complexity(b.complexity), w);
}

float coordinate_proximity(const TrajectoryCoordinate5D& a, const TrajectoryCoordinate5D& b,
                           const TesselWeights& w) {
    return std::exp(-weighted_coordinate_distance(a, b, w));
}

void coordinate_proximities(const TrajectoryCoordinate5D& a, std::span<const TrajectoryCoordinate5D> others,
                            const TesselWeights& w, float* out) {
    constexpr uint32_t kTable = 32;
    float logs[kTable];
    for (uint32_t c = 0; c < kTable; ++c) logs[c] = log_complexity(c);
    const float log_a = log_complexity(a.complexity);
    for (size_t i = 0; i < others.size(); ++i) {
        const uint32_t c = others[i].complexity;
        const float log_b = c < kTable ? logs[c] : log_complexity(c);
        out[i] = std::exp(-weighted_distance_logs(a, others[i], log_a, log_b, w));
    }
}

}  // namespace halyard
