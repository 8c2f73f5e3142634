// Links of a response chain and the estimator of how strongly two links are
// related. Single-precision arithmetic throughout, in the order written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trajectory/coordinates.hpp"

namespace halyard {

// How a turn relates to the turn before it.
enum class LinkType : uint8_t {
    Continuation,
    Elaboration,
    Summary,
    Contradiction,
    Tangent,
    Question,
    Answer,
    Code,
    Error,
    Solution,
    Meta,
    Unknown,
};
inline constexpr size_t kLinkTypeCount = 12;

using LinkTypeTable = std::array<std::array<float, kLinkTypeCount>, kLinkTypeCount>;

// The symmetric compatibility of two link types: 0.8 on the diagonal, a few
// related pairs above or below that, 0.5 for every other pair.
const LinkTypeTable& link_type_compatibility();

struct ChainLink {
    std::vector<float> embedding;
    std::optional<std::string> id;
    TrajectoryCoordinate5D coordinate;
    float influence = 1.0f;
    bool is_user = true;
    LinkType link_type = LinkType::Unknown;

    // Lenient cosine of the two embeddings (0 for a zero or empty one).
    float similarity(const ChainLink& other) const;
};

// The four component weights are kept normalised to their sum; nothing
// checks that sum, so an all-zero set makes every weight NaN.
struct ChainLinkEstimatorConfig {
    float baseline_weight;
    float relationship_weight;
    float type_weight;
    float context_weight;
    LinkTypeTable type_compatibility;
    TesselWeights coordinate_weights;

    ChainLinkEstimatorConfig(float baseline, float relationship, float type, float context);
    static ChainLinkEstimatorConfig default_config() { return {0.2f, 0.3f, 0.2f, 0.3f}; }
};

struct ChainLinkEstimate {
    float total;
    float baseline;
    float relationship;
    float type_based;
    float context;
};

class ChainLinkEstimator {
public:
    explicit ChainLinkEstimator(ChainLinkEstimatorConfig config = ChainLinkEstimatorConfig::default_config())
        : config_(config) {}

    const ChainLinkEstimatorConfig& config() const { return config_; }

    float estimate(const ChainLink& a, const ChainLink& b) const { return estimate_detailed(a, b).total; }
    ChainLinkEstimate estimate_detailed(const ChainLink& a, const ChainLink& b) const;

private:
    ChainLinkEstimatorConfig config_;
};

}  // namespace halyard
