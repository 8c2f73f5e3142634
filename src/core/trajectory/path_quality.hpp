// Path quality: a rating of a conversation path from four factors, used to
// blend with and boost turn salience. All arithmetic is single precision in
// the order written.
#pragma once

#include <optional>
#include <string_view>

namespace halyard {

struct PathQualityWeights {
    float alpha = 0.25f;  // linearity
    float beta = 0.3f;    // terminal score
    float gamma = 0.25f;  // coherence
    float delta = 0.2f;   // completion

    static PathQualityWeights defaults() { return {}; }
};

struct PathQualityFactors {
    float linearity = 0.0f;
    float terminal_score = 0.0f;
    float coherence = 0.0f;
    float completion = 0.0f;

    // ((alpha*L + beta*T) + gamma*S) + delta*C, neither clamped nor normalised.
    float compute_quality(const PathQualityWeights& w) const {
        return ((w.alpha * linearity + w.beta * terminal_score) + w.gamma * coherence) + w.delta * completion;
    }
    float quality() const { return compute_quality(PathQualityWeights::defaults()); }
};

// Stateless helpers.
struct PathQuality {
    // quality*b + base*(1-b) with the blend b clamped into [0, 1].
    static float enhance_salience(float base_salience, float quality, float blend);
    // base + (1-base)*(quality*0.5) for terminal turns, else base.
    static float terminal_boost(float base_salience, float quality, bool is_terminal);
    // Exact lower-case phase names; anything else (or none) scores 0.5.
    static float terminal_quality_from_phase(std::optional<std::string_view> phase);
    // Thumbs up wins over thumbs down.
    static float terminal_quality_from_feedback(bool has_thumbs_up, bool has_thumbs_down);
};

}  // namespace halyard
