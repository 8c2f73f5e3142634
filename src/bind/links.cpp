// Chain links with their estimator, cross-chain links and knowledge-transfer
// detection.
#include <array>
#include <string_view>

#include "framework/format.hpp"
#include "registry.hpp"
#include "trajectory/chain_link.hpp"
#include "trajectory/cross_chain.hpp"

namespace core = halyard;
using core::ChainLink;
using core::ChainLinkEstimate;
using core::ChainLinkEstimator;
using core::ChainLinkEstimatorConfig;
using core::CrossChainLink;
using core::CrossChainLinkType;
using core::LinkStrength;
using core::LinkType;
using core::TrajectoryCoordinate5D;

namespace {

constexpr std::array<const char*, core::kLinkTypeCount> kLinkTypeNames = {
    "Continuation", "Elaboration", "Summary", "Contradiction", "Tangent", "Question",
    "Answer",       "Code",        "Error",   "Solution",      "Meta",    "Unknown",
};
constexpr std::array<const char*, 6> kCrossChainLinkTypeNames = {
    "Semantic", "Reference", "Continuation", "Related", "Alternative", "KnowledgeTransfer",
};

const char* name_of(LinkType t) { return kLinkTypeNames[static_cast<size_t>(t)]; }
const char* name_of(CrossChainLinkType t) { return kCrossChainLinkTypeNames[static_cast<size_t>(t)]; }

// A str argument read in place as UTF-8: the view lives as long as the
// argument object, which the caller holds for the whole call. `ascii` comes
// free from comparing the code-point count with the byte count.
struct TextArg {
    std::string_view text;
    bool ascii;
};

}  // namespace

template <>
struct halyard::bind::Caster<TextArg> {
    static TextArg load(PyObject* obj) {
        if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!data) throw_error_set();
        const Py_ssize_t chars = PyUnicode_GetLength(obj);
        if (chars < 0) throw_error_set();
        return {std::string_view(data, static_cast<size_t>(size)), chars == size};
    }
};

// ---- chain links ----------------------------------------------------------------------

HALYARD_ENUM(LinkType, "LinkType", "Link type categorizing the relationship between turns.", "Continuation",
             "Elaboration", "Summary", "Contradiction", "Tangent", "Question", "Answer", "Code", "Error", "Solution",
             "Meta", "Unknown")

HALYARD_CLASS(
    ChainLink, "ChainLink", "A link in the response chain with coordinate and embedding.",
    init<[](const TrajectoryCoordinate5D& coordinate, std::vector<float> embedding, std::optional<LinkType> link_type,
            Opt<float> influence, Opt<bool> is_user, std::optional<std::string> id) {
        return ChainLink{std::move(embedding),
                         std::move(id),
                         coordinate,
                         std::move(influence).value_or(1.0f),
                         std::move(is_user).value_or(true),
                         link_type.value_or(LinkType::Unknown)};
    }>("(coordinate, embedding, link_type=None, influence=1.0, is_user=True, id=None)"),
    getter<[](const ChainLink& l) { return NdArray{l.embedding}; }>("embedding"),
    getter<[](const ChainLink& l) { return l.id; }>("id"),
    getter<[](const ChainLink& l) { return l.coordinate; }>("coordinate"),
    getter<[](const ChainLink& l) { return l.influence; }>("influence"),
    getter<[](const ChainLink& l) { return l.is_user; }>("is_user"),
    getter<[](const ChainLink& l) { return l.link_type; }>("link_type"),
    method<[](const ChainLink& l, const ChainLink& other) { return l.similarity(other); }>(
        "similarity($self, other)", "Cosine similarity to another chain link."),
    repr<[](const ChainLink& l) {
        return std::string("ChainLink(type=") + name_of(l.link_type) + ", influence=" + fixed(l.influence, 2) +
               ", user=" + (l.is_user ? "true" : "false") + ")";
    }>())

HALYARD_CLASS(
    ChainLinkEstimatorConfig, "ChainLinkEstimatorConfig", "ChainLink estimator configuration.",
    init<[](Opt<float> baseline_weight, Opt<float> relationship_weight, Opt<float> type_weight,
            Opt<float> context_weight) {
        return ChainLinkEstimatorConfig(std::move(baseline_weight).value_or(0.2f),
                                        std::move(relationship_weight).value_or(0.3f),
                                        std::move(type_weight).value_or(0.2f), std::move(context_weight).value_or(0.3f));
    }>("(baseline_weight=0.2, relationship_weight=0.3, type_weight=0.2, context_weight=0.3)"),
    static_method<[] { return ChainLinkEstimatorConfig::default_config(); }>("default_config()",
                                                                               "Default estimator config."),
    getter<[](const ChainLinkEstimatorConfig& c) { return c.baseline_weight; }>("baseline_weight"),
    getter<[](const ChainLinkEstimatorConfig& c) { return c.relationship_weight; }>("relationship_weight"),
    getter<[](const ChainLinkEstimatorConfig& c) { return c.type_weight; }>("type_weight"),
    getter<[](const ChainLinkEstimatorConfig& c) { return c.context_weight; }>("context_weight"),
    repr<[](const ChainLinkEstimatorConfig& c) {
        return "ChainLinkEstimatorConfig(b=" + fixed(c.baseline_weight, 2) + ", r=" + fixed(c.relationship_weight, 2) +
               ", t=" + fixed(c.type_weight, 2) + ", c=" + fixed(c.context_weight, 2) + ")";
    }>())

HALYARD_CLASS(
    ChainLinkEstimate, "ChainLinkEstimate", "Detailed estimate result from ChainLink estimator.",
    getter<[](const ChainLinkEstimate& e) { return e.total; }>("total"),
    getter<[](const ChainLinkEstimate& e) { return e.baseline; }>("baseline"),
    getter<[](const ChainLinkEstimate& e) { return e.relationship; }>("relationship"),
    getter<[](const ChainLinkEstimate& e) { return e.type_based; }>("type_based"),
    getter<[](const ChainLinkEstimate& e) { return e.context; }>("context"),
    repr<[](const ChainLinkEstimate& e) {
        return "ChainLinkEstimate(total=" + fixed(e.total, 3) + ", base=" + fixed(e.baseline, 3) +
               ", rel=" + fixed(e.relationship, 3) + ", type=" + fixed(e.type_based, 3) + ", ctx=" + fixed(e.context, 3) +
               ")";
    }>())

HALYARD_CLASS(
    ChainLinkEstimator, "ChainLinkEstimator", "ChainLink estimator for computing relationship strength between links.",
    init<[](const ChainLinkEstimatorConfig* config) {
        return config ? ChainLinkEstimator(*config) : ChainLinkEstimator();
    }>("(config=None)"),
    method<[](const ChainLinkEstimator& e, const ChainLink& link_a, const ChainLink& link_b) {
        return e.estimate(link_a, link_b);
    }>("estimate($self, link_a, link_b)", "Estimate relationship strength between two links."),
    method<[](const ChainLinkEstimator& e, const ChainLink& link_a, const ChainLink& link_b) {
        return e.estimate_detailed(link_a, link_b);
    }>("estimate_detailed($self, link_a, link_b)", "Get detailed estimate with component breakdown."),
    repr<[](const ChainLinkEstimator&) { return std::string("ChainLinkEstimator()"); }>())

// ---- cross-chain links ------------------------------------------------------------------

HALYARD_ENUM(CrossChainLinkType, "CrossChainLinkType", "Cross-chain link type.", "Semantic", "Reference",
             "Continuation", "Related", "Alternative", "KnowledgeTransfer")

HALYARD_CLASS(
    LinkStrength, "LinkStrength", "Link strength with semantic, temporal, and thematic components.",
    init<[](float semantic, float temporal, float thematic) { return LinkStrength(semantic, temporal, thematic); }>(
        "(semantic, temporal, thematic)"),
    static_method<[](float similarity) { return LinkStrength::from_semantic(similarity); }>(
        "from_semantic(similarity)", "Create link strength from semantic similarity only."),
    method<[](const LinkStrength& s, float threshold) { return s.is_strong(threshold); }>(
        "is_strong($self, threshold)", "Check if this is a strong link (above threshold)."),
    getter<[](const LinkStrength& s) { return s.semantic; }>("semantic"),
    getter<[](const LinkStrength& s) { return s.temporal; }>("temporal"),
    getter<[](const LinkStrength& s) { return s.thematic; }>("thematic"),
    getter<[](const LinkStrength& s) { return s.combined; }>("combined"),
    repr<[](const LinkStrength& s) {
        return "LinkStrength(semantic=" + fixed(s.semantic, 2) + ", temporal=" + fixed(s.temporal, 2) +
               ", thematic=" + fixed(s.thematic, 2) + ", combined=" + fixed(s.combined, 2) + ")";
    }>())

HALYARD_CLASS(
    CrossChainLink, "CrossChainLink", "Cross-chain link between nodes in different chains.",
    init<[](std::string source_chain, uint64_t source_node, std::string target_chain, uint64_t target_node,
            const LinkStrength& strength, CrossChainLinkType link_type) {
        return CrossChainLink{std::move(source_chain), std::move(target_chain), std::nullopt, source_node,
                              target_node,             strength,                link_type};
    }>("(source_chain, source_node, target_chain, target_node, strength, link_type)"),
    static_method<[](std::string source_chain, uint64_t source_node, std::string target_chain, uint64_t target_node,
                     float similarity) {
        return CrossChainLink::semantic(std::move(source_chain), source_node, std::move(target_chain), target_node,
                                        similarity);
    }>("semantic(source_chain, source_node, target_chain, target_node, similarity)",
       "Create a semantic link (convenience method)."),
    method<[](const CrossChainLink& l) { return l.is_bidirectional(); }>("is_bidirectional($self)",
                                                                          "Check if this link is bidirectional."),
    getter<[](const CrossChainLink& l) { return l.source_chain; }>("source_chain"),
    getter<[](const CrossChainLink& l) { return l.target_chain; }>("target_chain"),
    getter<[](const CrossChainLink& l) { return l.description; }>("description"),
    getter<[](const CrossChainLink& l) { return l.source_node; }>("source_node"),
    getter<[](const CrossChainLink& l) { return l.target_node; }>("target_node"),
    getter<[](const CrossChainLink& l) { return l.strength; }>("strength"),
    getter<[](const CrossChainLink& l) { return l.link_type; }>("link_type"),
    repr<[](const CrossChainLink& l) {
        return "CrossChainLink('" + l.source_chain + "':" + std::to_string(l.source_node) + "  -> '" + l.target_chain +
               "':" + std::to_string(l.target_node) + ", type=" + name_of(l.link_type) + ")";
    }>())

// The phrase texts as Python strings, made once and shared by every result.
namespace {
PyObject* pattern_object(size_t index) {
    static std::array<PyObject*, core::kKnowledgeTransferPatterns.size()> cache{};
    PyObject*& slot = cache[index];
    if (!slot) {
        const std::string_view p = core::kKnowledgeTransferPatterns[index];
        slot = PyUnicode_FromStringAndSize(p.data(), static_cast<Py_ssize_t>(p.size()));
        if (!slot) halyard::bind::throw_error_set();
    }
    return slot;
}
}  // namespace

HALYARD_FUNCTION(detect_knowledge_transfer, "detect_knowledge_transfer(text)",
                 "Detect knowledge transfer patterns in text.\nReturns the matched pattern if found, None otherwise.",
                 [](TextArg text) {
                     const auto found = core::detect_knowledge_transfer(text.text, text.ascii);
                     return found ? Object::borrow(pattern_object(*found)) : Object();
                 })
