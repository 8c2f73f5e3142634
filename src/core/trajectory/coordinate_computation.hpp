// The five-dimensional coordinate of a new turn, derived from its embedding,
// its similarities to neighbouring turns and its position in the session.
#pragma once

#include <cstdint>
#include <span>

#include "trajectory/coordinates.hpp"
#include "vector/similarity.hpp"

namespace halyard {

// depth = max(session_depth, 0); sibling_order = max(sibling_order, 0);
// homogeneity = mean similarity clamped to [0, 1] (0.5 without neighbours);
// temporal = min(turn_index / 100, 1) with no lower limit;
// complexity = max(round(10 * population standard deviation), 1), saturating.
TrajectoryCoordinate5D compute_trajectory_coordinates(FloatSpan embedding, std::span<const float> neighbor_similarities,
                                                      int32_t session_depth, int32_t turn_index,
                                                      int32_t sibling_order);

}  // namespace halyard
