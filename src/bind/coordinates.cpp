// Trajectory coordinates and their dimension weights.
#include "framework/format.hpp"
#include "registry.hpp"
#include "trajectory/coordinates.hpp"

using halyard::TesselWeights;
using halyard::TrajectoryCoordinate;
using halyard::TrajectoryCoordinate5D;
using TC = TrajectoryCoordinate;
using TC5 = TrajectoryCoordinate5D;

HALYARD_CLASS(
    TrajectoryCoordinate, "TrajectoryCoordinate",
    "4D Trajectory Coordinate for episode positioning.\n\n"
    "Dimensions:\n"
    "- depth: Distance from root in conversation tree (0 = root)\n"
    "- sibling_order: Position among siblings at branching points\n"
    "- homogeneity: Semantic similarity to parent [0, 1]\n"
    "- temporal: Normalized timestamp within trajectory [0, 1]",
    init<[](uint32_t depth, uint32_t sibling_order, float homogeneity, float temporal) {
        return TC{depth, sibling_order, homogeneity, temporal};
    }>("(depth, sibling_order, homogeneity, temporal)"),
    static_method<[] { return TC::root(); }>("root()", "Create a root coordinate."),
    getter<[](const TC& c) { return c.depth; }>("depth"),
    getter<[](const TC& c) { return c.sibling_order; }>("sibling_order"),
    getter<[](const TC& c) { return c.homogeneity; }>("homogeneity"),
    getter<[](const TC& c) { return c.temporal; }>("temporal"),
    method<[](const TC& c, const TC& other) { return c.distance(other); }>(
        "distance($self, other)", "Euclidean distance to another coordinate."),
    method<[](const TC& c, const TC& other) { return c.manhattan_distance(other); }>(
        "manhattan_distance($self, other)", "Manhattan distance to another coordinate."),
    method<[](const TC& c, const TC& other, std::array<float, 4> weights) {
        return c.weighted_distance(other, weights);
    }>("weighted_distance($self, other, weights)", "Weighted distance with custom dimension weights."),
    method<[](const TC& c) { return std::tuple{c.depth, c.sibling_order, c.homogeneity, c.temporal}; }>(
        "to_tuple($self)", "Convert to tuple."),
    method<[](const TC& c) {
        return Dict<float>{{{"depth", float(c.depth)},
                            {"sibling_order", float(c.sibling_order)},
                            {"homogeneity", c.homogeneity},
                            {"temporal", c.temporal}}};
    }>("to_dict($self)", "Convert to dict."),
    repr<[](const TC& c) {
        return "TrajectoryCoordinate(depth=" + std::to_string(c.depth) + ", sibling=" + std::to_string(c.sibling_order) +
               ", homo=" + fixed(c.homogeneity, 2) + ", time=" + fixed(c.temporal, 2) + ")";
    }>())

HALYARD_CLASS(
    TrajectoryCoordinate5D, "TrajectoryCoordinate5D",
    "5D Trajectory Coordinate with complexity dimension (Skein extension).\n\n"
    "Adds the complexity dimension from Skein:\n"
    "- complexity: Message complexity (n_parts: text + images + code blocks)",
    init<[](uint32_t depth, uint32_t sibling_order, float homogeneity, float temporal, uint32_t complexity) {
        return TC5{depth, sibling_order, homogeneity, temporal, complexity};
    }>("(depth, sibling_order, homogeneity, temporal, complexity)"),
    static_method<[](const TC& coord) { return TC5::from_4d(coord); }>(
        "from_4d(coord)", "Create from a 4D coordinate with default complexity (1)."),
    static_method<[](const TC& coord, uint32_t complexity) {
        return TC5::from_4d(coord, complexity > 0 ? complexity : 1);
    }>("from_4d_with_complexity(coord, complexity)", "Create from a 4D coordinate with specified complexity."),
    static_method<[] { return TC5::root(); }>("root()", "Create a root coordinate."),
    getter<[](const TC5& c) { return c.depth; }>("depth"),
    getter<[](const TC5& c) { return c.sibling_order; }>("sibling_order"),
    getter<[](const TC5& c) { return c.homogeneity; }>("homogeneity"),
    getter<[](const TC5& c) { return c.temporal; }>("temporal"),
    getter<[](const TC5& c) { return c.complexity; }>("complexity"),
    method<[](const TC5& c, const TC5& other) { return c.distance(other); }>(
        "distance($self, other)", "Euclidean distance (log-scaled complexity)."),
    method<[](const TC5& c) { return c.complexity_factor(); }>(
        "complexity_factor($self)", "Normalized complexity factor [0, 1]."),
    method<[](const TC5& c) { return c.is_multimodal(); }>(
        "is_multimodal($self)", "Check if this is a multimodal message (complexity > 1)."),
    method<[](const TC5& c) { return c.to_4d(); }>("to_4d($self)", "Convert to 4D coordinate (discards complexity)."),
    method<[](const TC5& c) {
        return Dict<float>{{{"depth", float(c.depth)},
                            {"sibling_order", float(c.sibling_order)},
                            {"homogeneity", c.homogeneity},
                            {"temporal", c.temporal},
                            {"complexity", float(c.complexity)}}};
    }>("to_dict($self)", "Convert to dict."),
    repr<[](const TC5& c) {
        return "TrajectoryCoordinate5D(depth=" + std::to_string(c.depth) +
               ", sibling=" + std::to_string(c.sibling_order) + ", homo=" + fixed(c.homogeneity, 2) +
               ", time=" + fixed(c.temporal, 2) + ", complex=" + std::to_string(c.complexity) + ")";
    }>())

HALYARD_CLASS(
    TesselWeights, "TesselWeights",
    "Tessel coordinate weight configuration for distance calculations.\n\n"
    "Default weights (from Tessel config):\n"
    "- depth: 0.25 (structural)\n"
    "- sibling: 0.15 (structural)\n"
    "- homogeneity: 0.30 (semantic)\n"
    "- temporal: 0.20 (temporal)\n"
    "- complexity: 0.10 (from Skein n_parts)",
    init<[](Opt<float> depth, Opt<float> sibling, Opt<float> homogeneity, Opt<float> temporal,
            Opt<float> complexity) {
        const TesselWeights d;
        return TesselWeights{std::move(depth).value_or(d.depth), std::move(sibling).value_or(d.sibling),
                             std::move(homogeneity).value_or(d.homogeneity), std::move(temporal).value_or(d.temporal),
                             std::move(complexity).value_or(d.complexity)};
    }>("(depth=0.25, sibling=0.15, homogeneity=0.30, temporal=0.20, complexity=0.10)"),
    static_method<[] { return TesselWeights::defaults(); }>("default_weights()", "Create default weights."),
    static_method<[] { return TesselWeights::semantic_focused(); }>(
        "semantic_focused()", "Create weights optimized for semantic similarity."),
    static_method<[] { return TesselWeights::structural_focused(); }>(
        "structural_focused()", "Create weights optimized for structural similarity."),
    static_method<[] { return TesselWeights::temporal_focused(); }>(
        "temporal_focused()", "Create weights optimized for temporal proximity."),
    static_method<[] { return TesselWeights::equal(); }>("equal()", "Create equal weights for all dimensions."),
    getter<[](const TesselWeights& w) { return w.depth; }>("depth"),
    getter<[](const TesselWeights& w) { return w.sibling; }>("sibling"),
    getter<[](const TesselWeights& w) { return w.homogeneity; }>("homogeneity"),
    getter<[](const TesselWeights& w) { return w.temporal; }>("temporal"),
    getter<[](const TesselWeights& w) { return w.complexity; }>("complexity"),
    method<[](const TesselWeights& w) {
        return std::vector<float>{w.depth, w.sibling, w.homogeneity, w.temporal, w.complexity};
    }>("to_array($self)", "Convert to array [depth, sibling, homogeneity, temporal, complexity]."),
    method<[](const TesselWeights& w) {
        return Dict<float>{{{"depth", w.depth},
                            {"sibling", w.sibling},
                            {"homogeneity", w.homogeneity},
                            {"temporal", w.temporal},
                            {"complexity", w.complexity}}};
    }>("to_dict($self)", "Convert to dict."),
    repr<[](const TesselWeights& w) {
        return "TesselWeights(d=" + fixed(w.depth, 2) + ", s=" + fixed(w.sibling, 2) + ", h=" + fixed(w.homogeneity, 2) +
               ", t=" + fixed(w.temporal, 2) + ", c=" + fixed(w.complexity, 2) + ")";
    }>())
