// Lexical features of a conversation turn and the conversation phase they
// suggest. Everything is computed from the message text alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace halyard {

// Qualitative state of a conversation; the integer values are the phase codes.
enum class TrajectoryPhase : uint8_t {
    Exploration = 0,
    Consolidation = 1,
    Synthesis = 2,
    Debugging = 3,
    Planning = 4,
};

struct TurnFeatures {
    std::string role;
    uint64_t turn_id = 0;
    uint64_t content_length = 0;    // UTF-8 bytes
    uint64_t question_count = 0;    // '?' characters
    uint64_t code_block_count = 0;  // non-overlapping "```" fences / 2
    uint64_t list_item_count = 0;   // lines starting "- ", "* ", "N." or "N)"
    bool has_error_keywords = false;
    bool has_decision_keywords = false;
    bool has_planning_keywords = false;
    bool mentions_code_file = false;  // case-sensitive source-file extension

    // `content` is UTF-8 text; invalid sequences are tolerated (each bad
    // byte reads as U+FFFD).
    static TurnFeatures from_content(uint64_t turn_id, std::string role, std::string_view content);

    bool is_user() const noexcept { return role == "user"; }
};

// The individual scans of feature extraction, exposed for reuse and tests.
namespace turn_text {
uint64_t count_questions(std::string_view content) noexcept;
uint64_t count_fences(std::string_view content) noexcept;
uint64_t count_list_items(std::string_view content) noexcept;
bool mentions_code_file(std::string_view content) noexcept;

// Keyword families found in the fully lower-cased text. The text is lowered
// a block at a time and the search stops once every family was found.
struct KeywordHits {
    bool error = false;
    bool decision = false;
    bool planning = false;
};
KeywordHits find_keywords(std::string_view content);
}  // namespace turn_text

class PhaseInferencer {
public:
    uint64_t short_message_limit = 200;  // bytes; shorter user turns lean to exploration
    uint64_t long_message_limit = 1000;  // bytes; longer turns lean to consolidation
    uint64_t question_threshold = 2;
    float min_confidence = 0.3f;

    // The best-scoring phase and its score. Equal top scores resolve to the
    // lowest phase code. Throws ValueError("Could not infer phase") when no
    // rule fires or the best score is below the minimum confidence.
    std::pair<TrajectoryPhase, float> infer_single(const TurnFeatures& features) const;
};

}  // namespace halyard
