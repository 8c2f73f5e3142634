#include "trajectory/salience.hpp"

#include <algorithm>

#include "vector/similarity.hpp"

namespace halyard {

namespace {
// Clamp that lets NaN through unchanged (a NaN embedding yields a NaN novelty).
float clamp_to(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }
}  // namespace

TurnSalience SalienceScorer::score_single(const SalienceFactors& f, std::span<const std::vector<float>> recent) const {
    TurnSalience out;
    out.turn_id = f.turn_id;

    if (f.feedback == Feedback::ThumbsUp) out.feedback_contribution = thumbs_up_boost;
    else if (f.feedback == Feedback::ThumbsDown) out.feedback_contribution = -thumbs_down_penalty;

    if (f.is_phase_transition) out.phase_contribution = phase_transition_boost;

    out.reference_contribution = std::min(reference_boost * static_cast<float>(f.reference_count), max_reference_boost);

    if (f.embedding) {
        float novelty = novelty_weight;
        const size_t window = std::min(novelty_window, recent.size());
        if (window > 0) {
            float total = 0.0f;
            for (size_t i = 0; i < window; ++i) total += lenient_cosine(*f.embedding, recent[i]);
            const float mean = total / static_cast<float>(window);
            novelty = clamp_to(novelty_weight * (1.0f - mean), 0.0f, novelty_weight);
        }
        out.novelty_contribution = novelty;
    }

    const float total = base_salience + out.feedback_contribution + out.phase_contribution +
                        out.reference_contribution + out.novelty_contribution;
    out.score = clamp_to(total, 0.0f, 1.0f);
    return out;
}

}  // namespace halyard
