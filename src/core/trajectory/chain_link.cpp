#include "trajectory/chain_link.hpp"

#include <cmath>
#include <utility>

#include "vector/similarity.hpp"

namespace halyard {

namespace {

LinkTypeTable build_compatibility() {
    LinkTypeTable table;
    for (auto& row : table) row.fill(0.5f);
    for (size_t i = 0; i < kLinkTypeCount; ++i) table[i][i] = 0.8f;
    using L = LinkType;
    const auto set = [&](L a, L b, float v) {
        table[static_cast<size_t>(a)][static_cast<size_t>(b)] = v;
        table[static_cast<size_t>(b)][static_cast<size_t>(a)] = v;
    };
    set(L::Continuation, L::Elaboration, 0.9f);
    set(L::Continuation, L::Summary, 0.9f);
    set(L::Elaboration, L::Summary, 0.7f);
    set(L::Continuation, L::Contradiction, 0.3f);
    set(L::Continuation, L::Tangent, 0.3f);
    set(L::Contradiction, L::Solution, 0.7f);
    set(L::Tangent, L::Question, 0.7f);
    set(L::Question, L::Answer, 0.9f);
    set(L::Code, L::Error, 0.9f);
    set(L::Code, L::Solution, 0.9f);
    set(L::Error, L::Solution, 0.9f);
    return table;
}

}  // namespace

const LinkTypeTable& link_type_compatibility() {
    static const LinkTypeTable table = build_compatibility();
    return table;
}

float ChainLink::similarity(const ChainLink& other) const { return lenient_cosine(embedding, other.embedding); }

ChainLinkEstimatorConfig::ChainLinkEstimatorConfig(float baseline, float relationship, float type, float context)
    : type_compatibility(link_type_compatibility()), coordinate_weights(TesselWeights::defaults()) {
    const float sum = ((baseline + relationship) + type) + context;
    baseline_weight = baseline / sum;
    relationship_weight = relationship / sum;
    type_weight = type / sum;
    context_weight = context / sum;
}

ChainLinkEstimate ChainLinkEstimator::estimate_detailed(const ChainLink& a, const ChainLink& b) const {
    const ChainLinkEstimatorConfig& c = config_;
    // (cos + 1) / 2, or 0.5 when either embedding has no length.
    const float cos01 = lenient_cosine01(a.embedding, b.embedding);

    ChainLinkEstimate e{};
    e.baseline = cos01;

    const float proximity = coordinate_proximity(a.coordinate, b.coordinate, c.coordinate_weights);
    e.relationship = (0.3f * ((a.influence + b.influence) * 0.5f) + 0.4f * proximity) + 0.3f * 0.5f;

    e.type_based = c.type_compatibility[static_cast<size_t>(a.link_type)][static_cast<size_t>(b.link_type)];

    const float role = a.is_user == b.is_user ? 0.06f : 0.05f;
    const float semantic = 0.5f * cos01;
    const float temporal = 0.2f * (1.0f - std::fabs(a.coordinate.temporal - b.coordinate.temporal));
    const float homogeneity = 0.2f * (1.0f - std::fabs(a.coordinate.homogeneity - b.coordinate.homogeneity));
    e.context = role + ((semantic + temporal) + homogeneity);

    e.total = ((c.baseline_weight * e.baseline + c.relationship_weight * e.relationship) +
               c.type_weight * e.type_based) +
              c.context_weight * e.context;
    return e;
}

}  // namespace halyard
