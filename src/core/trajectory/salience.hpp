// Salience: how important a conversation turn is, in [0, 1], with the
// contribution of each factor kept for explanation.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace halyard {

enum class Feedback : uint8_t {
    ThumbsUp = 0,
    ThumbsDown = 1,
};

struct SalienceFactors {
    uint64_t turn_id = 0;
    std::string role;             // carried for the caller; not scored
    uint64_t content_length = 0;  // carried for the caller; not scored
    std::optional<Feedback> feedback;
    uint64_t reference_count = 0;
    bool is_phase_transition = false;
    std::optional<std::vector<float>> embedding;
};

struct TurnSalience {
    uint64_t turn_id = 0;
    float score = 0.0f;
    float feedback_contribution = 0.0f;
    float phase_contribution = 0.0f;
    float reference_contribution = 0.0f;
    float novelty_contribution = 0.0f;
};

class SalienceScorer {
public:
    float base_salience = 0.5f;
    float thumbs_up_boost = 0.35f;
    float thumbs_down_penalty = 0.35f;
    float phase_transition_boost = 0.1f;
    float reference_boost = 0.05f;
    float max_reference_boost = 0.15f;
    float novelty_weight = 0.1f;
    size_t novelty_window = 10;

    // `recent` is compared from its front, at most `novelty_window` entries.
    TurnSalience score_single(const SalienceFactors& factors,
                              std::span<const std::vector<float>> recent = {}) const;
};

}  // namespace halyard
