#include "trajectory/path_quality.hpp"

namespace halyard {

float PathQuality::enhance_salience(float base_salience, float quality, float blend) {
    const float b = blend < 0.0f ? 0.0f : (blend > 1.0f ? 1.0f : blend);
    return quality * b + base_salience * (1.0f - b);
}

float PathQuality::terminal_boost(float base_salience, float quality, bool is_terminal) {
    if (!is_terminal) return base_salience;
    return base_salience + (1.0f - base_salience) * (quality * 0.5f);
}

float PathQuality::terminal_quality_from_phase(std::optional<std::string_view> phase) {
    if (!phase) return 0.5f;
    if (*phase == "synthesis") return 0.9f;
    if (*phase == "planning") return 0.85f;
    if (*phase == "consolidation") return 0.7f;
    if (*phase == "debugging") return 0.4f;
    return 0.5f;
}

float PathQuality::terminal_quality_from_feedback(bool has_thumbs_up, bool has_thumbs_down) {
    if (has_thumbs_up) return 0.95f;
    if (has_thumbs_down) return 0.1f;
    return 0.5f;
}

}  // namespace halyard
