// Turn scoring: lexical features and phase inference, salience, path quality.
#include <string_view>

#include "framework/format.hpp"
#include "registry.hpp"
#include "trajectory/path_quality.hpp"
#include "trajectory/phase.hpp"
#include "trajectory/salience.hpp"

using halyard::Feedback;
using halyard::PathQuality;
using halyard::PathQualityFactors;
using halyard::PathQualityWeights;
using halyard::PhaseInferencer;
using halyard::SalienceFactors;
using halyard::SalienceScorer;
using halyard::TrajectoryPhase;
using halyard::TurnFeatures;
using halyard::TurnSalience;

namespace {
// A str argument read in place: the UTF-8 buffer Python keeps with the
// string, valid while the caller holds the argument (for the whole call).
struct TextView {
    std::string_view text;
};
}  // namespace

template <>
struct halyard::bind::Caster<TextView> {
    static TextView load(PyObject* obj) {
        if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!text) throw_error_set();
        return TextView{std::string_view(text, static_cast<size_t>(size))};
    }
};

HALYARD_ENUM(TrajectoryPhase, "TrajectoryPhase",
             "Trajectory phase representing qualitative state within a conversation.", "Exploration",
             "Consolidation", "Synthesis", "Debugging", "Planning")

HALYARD_ENUM(Feedback, "Feedback", "User feedback type for salience scoring.", "ThumbsUp", "ThumbsDown")

HALYARD_CLASS(
    TurnFeatures, "TurnFeatures", "Turn features for phase inference.",
    static_method<[](uint64_t turn_id, std::string role, TextView content) {
        return TurnFeatures::from_content(turn_id, std::move(role), content.text);
    }>("from_content(turn_id, role, content)", "Create turn features from message content."),
    getter<[](const TurnFeatures& f) { return f.role; }>("role", "Role of the speaker, as given."),
    getter<[](const TurnFeatures& f) { return f.turn_id; }>("turn_id", "Caller's identifier of the turn."),
    getter<[](const TurnFeatures& f) { return f.content_length; }>("content_length", "Content length in UTF-8 bytes."),
    getter<[](const TurnFeatures& f) { return f.question_count; }>("question_count", "Number of question marks."),
    getter<[](const TurnFeatures& f) { return f.code_block_count; }>("code_block_count",
                                                                     "Number of fenced code blocks."),
    getter<[](const TurnFeatures& f) { return f.list_item_count; }>("list_item_count", "Number of list-item lines."),
    getter<[](const TurnFeatures& f) { return f.has_error_keywords; }>("has_error_keywords",
                                                                       "Content mentions an error keyword."),
    getter<[](const TurnFeatures& f) { return f.has_decision_keywords; }>("has_decision_keywords",
                                                                          "Content mentions a decision keyword."),
    getter<[](const TurnFeatures& f) { return f.has_planning_keywords; }>("has_planning_keywords",
                                                                          "Content mentions a planning keyword."),
    getter<[](const TurnFeatures& f) { return f.is_user(); }>("is_user", "True when the role is exactly 'user'."),
    repr<[](const TurnFeatures& f) {
        return "TurnFeatures(id=" + std::to_string(f.turn_id) + ", role='" + f.role +
               "', len=" + std::to_string(f.content_length) + ", questions=" + std::to_string(f.question_count) + ")";
    }>())

HALYARD_CLASS(PhaseInferencer, "PhaseInferencer", "Phase inferencer for detecting conversation phases.",
              init<[] { return PhaseInferencer{}; }>("()"),
              method<[](const PhaseInferencer& p, const TurnFeatures& features) {
                  return p.infer_single(features);
              }>("infer_single($self, features)",
                 "Infer phase from turn features.\n\nReturns (phase, confidence) tuple."),
              repr<[](const PhaseInferencer&) { return std::string("PhaseInferencer()"); }>())

HALYARD_CLASS(
    SalienceFactors, "SalienceFactors", "Salience factors for computing turn importance.",
    init<[](uint64_t turn_id, std::string role, uint64_t content_length, std::optional<Feedback> feedback,
            Opt<uint64_t> reference_count, Opt<bool> is_phase_transition,
            std::optional<std::vector<float>> embedding) {
        return SalienceFactors{turn_id,
                               std::move(role),
                               content_length,
                               feedback,
                               std::move(reference_count).value_or(uint64_t{0}),
                               std::move(is_phase_transition).value_or(false),
                               std::move(embedding)};
    }>("(turn_id, role, content_length, feedback=None, reference_count=0, is_phase_transition=False, "
       "embedding=None)"),
    getter<[](const SalienceFactors& f) { return f.turn_id; }>("turn_id", "Caller's identifier of the turn."),
    getter<[](const SalienceFactors& f) { return f.role; }>("role", "Role of the speaker."),
    getter<[](const SalienceFactors& f) { return f.content_length; }>("content_length", "Content length."),
    getter<[](const SalienceFactors& f) { return f.reference_count; }>("reference_count",
                                                                       "How often the turn is referenced."),
    getter<[](const SalienceFactors& f) { return f.is_phase_transition; }>("is_phase_transition",
                                                                           "The turn marks a phase transition."),
    repr<[](const SalienceFactors& f) {
        return "SalienceFactors(turn_id=" + std::to_string(f.turn_id) + ", role='" + f.role + "')";
    }>())

HALYARD_CLASS(
    TurnSalience, "TurnSalience", "Turn salience result with score breakdown.",
    getter<[](const TurnSalience& s) { return s.turn_id; }>("turn_id", "Identifier of the scored turn."),
    getter<[](const TurnSalience& s) { return s.score; }>("score", "Salience in [0, 1]."),
    getter<[](const TurnSalience& s) { return s.feedback_contribution; }>("feedback_contribution",
                                                                          "Contribution of user feedback."),
    getter<[](const TurnSalience& s) { return s.phase_contribution; }>("phase_contribution",
                                                                       "Contribution of a phase transition."),
    getter<[](const TurnSalience& s) { return s.reference_contribution; }>("reference_contribution",
                                                                           "Contribution of references."),
    getter<[](const TurnSalience& s) { return s.novelty_contribution; }>("novelty_contribution",
                                                                         "Contribution of embedding novelty."),
    repr<[](const TurnSalience& s) {
        return "TurnSalience(turn_id=" + std::to_string(s.turn_id) + ", score=" + fixed(s.score, 3) + ")";
    }>())

HALYARD_CLASS(SalienceScorer, "SalienceScorer", "Salience scorer for computing turn importance weights.",
              init<[] { return SalienceScorer{}; }>("()"),
              method<[](const SalienceScorer& scorer, const SalienceFactors& factors,
                        std::optional<std::vector<std::vector<float>>> recent_embeddings) {
                  if (!recent_embeddings) return scorer.score_single(factors);
                  return scorer.score_single(factors, *recent_embeddings);
              }>("score_single($self, factors, recent_embeddings=None)",
                 "Score a single turn.\n\nReturns TurnSalience with score and contribution breakdown."),
              repr<[](const SalienceScorer&) { return std::string("SalienceScorer()"); }>())

HALYARD_CLASS(
    PathQualityWeights, "PathQualityWeights", "Path quality weights for Skein scoring.",
    init<[](Opt<float> alpha, Opt<float> beta, Opt<float> gamma, Opt<float> delta) {
        const PathQualityWeights d;
        return PathQualityWeights{std::move(alpha).value_or(d.alpha), std::move(beta).value_or(d.beta),
                                  std::move(gamma).value_or(d.gamma), std::move(delta).value_or(d.delta)};
    }>("(alpha=0.25, beta=0.3, gamma=0.25, delta=0.2)"),
    static_method<[] { return PathQualityWeights::defaults(); }>("default_weights()", "Default Skein weights."),
    getter<[](const PathQualityWeights& w) { return w.alpha; }>("alpha", "Weight of linearity."),
    getter<[](const PathQualityWeights& w) { return w.beta; }>("beta", "Weight of the terminal score."),
    getter<[](const PathQualityWeights& w) { return w.gamma; }>("gamma", "Weight of coherence."),
    getter<[](const PathQualityWeights& w) { return w.delta; }>("delta", "Weight of completion."),
    repr<[](const PathQualityWeights& w) {
        return "PathQualityWeights(\u03b1=" + fixed(w.alpha, 2) + ", \u03b2=" + fixed(w.beta, 2) +
               ", \u03b3=" + fixed(w.gamma, 2) + ", \u03b4=" + fixed(w.delta, 2) + ")";
    }>())

HALYARD_CLASS(
    PathQualityFactors, "PathQualityFactors", "Path quality factors for Skein scoring.",
    init<[](float linearity, float terminal_score, float coherence, float completion) {
        return PathQualityFactors{linearity, terminal_score, coherence, completion};
    }>("(linearity, terminal_score, coherence, completion)"),
    getter<[](const PathQualityFactors& f) { return f.linearity; }>("linearity", "How linear the path is."),
    getter<[](const PathQualityFactors& f) { return f.terminal_score; }>("terminal_score",
                                                                         "Quality of the terminal turn."),
    getter<[](const PathQualityFactors& f) { return f.coherence; }>("coherence", "Coherence along the path."),
    getter<[](const PathQualityFactors& f) { return f.completion; }>("completion", "How complete the path is."),
    method<[](const PathQualityFactors& f, const PathQualityWeights& weights) { return f.compute_quality(weights); }>(
        "compute_quality($self, weights)", "Compute quality score with given weights."),
    method<[](const PathQualityFactors& f) { return f.quality(); }>("quality($self)",
                                                                    "Compute quality score with default weights."),
    repr<[](const PathQualityFactors& f) {
        return "PathQualityFactors(L=" + fixed(f.linearity, 2) + ", T=" + fixed(f.terminal_score, 2) +
               ", S=" + fixed(f.coherence, 2) + ", C=" + fixed(f.completion, 2) + ")";
    }>())

HALYARD_CLASS(PathQuality, "PathQuality", "Path quality utilities for Skein-based salience enhancement.",
              init<[] { return PathQuality{}; }>("()"),
              static_method<[](float base_salience, float quality, float blend) {
                  return PathQuality::enhance_salience(base_salience, quality, blend);
              }>("enhance_salience(base_salience, quality, blend)", "Enhance base salience with path quality."),
              static_method<[](float base_salience, float quality, bool is_terminal) {
                  return PathQuality::terminal_boost(base_salience, quality, is_terminal);
              }>("terminal_boost(base_salience, quality, is_terminal)",
                 "Boost terminal nodes based on path quality."),
              static_method<[](std::optional<std::string> phase) {
                  return phase ? PathQuality::terminal_quality_from_phase(std::string_view(*phase))
                               : PathQuality::terminal_quality_from_phase(std::nullopt);
              }>("terminal_quality_from_phase(phase=None)", "Get terminal quality score from phase name."),
              static_method<[](bool has_thumbs_up, bool has_thumbs_down) {
                  return PathQuality::terminal_quality_from_feedback(has_thumbs_up, has_thumbs_down);
              }>("terminal_quality_from_feedback(has_thumbs_up, has_thumbs_down)",
                 "Get terminal quality score from feedback."))
