#include "trajectory/phase.hpp"

#include <array>
#include <cstring>

#include "common/errors.hpp"
#include "runtime/text.hpp"

namespace halyard {

namespace {

enum Family : uint8_t { kError = 1, kDecision = 2, kPlanning = 4, kAllFamilies = 7 };

struct Keyword {
    std::string_view text;
    uint8_t family;
};

// Keywords are matched as plain substrings of the lower-cased content.
constexpr Keyword kKeywords[] = {
    {"error", kError},         {"exception", kError},      {"traceback", kError},    {"failed", kError},
    {"doesn't work", kError},  {"bug", kError},            {"fix", kError},          {"broken", kError},
    {"crash", kError},         {"panic", kError},          {"undefined", kError},    {"decision:", kDecision},
    {"let's go with", kDecision}, {"we'll use", kDecision}, {"decided to", kDecision}, {"the approach", kDecision},
    {"final answer", kDecision}, {"conclusion", kDecision}, {"summary", kDecision},  {"phase", kPlanning},
    {"roadmap", kPlanning},    {"step", kPlanning},        {"plan", kPlanning},      {"milestone", kPlanning},
    {"todo", kPlanning},       {"first,", kPlanning},      {"second,", kPlanning},   {"third,", kPlanning},
    {"then", kPlanning},       {"next step", kPlanning},
};
constexpr size_t kKeywordCount = std::size(kKeywords);

// Matched case-sensitively on the content as received, after a '.'.
constexpr std::string_view kExtensionTails[] = {"rs", "py", "ts", "js", "go", "java", "cpp", "h"};

// The scan slides a 24-bit window of three bytes over the text; a hashed
// bitset of every keyword's first three bytes rejects almost every position
// with one lookup, and only the survivors are compared in full.
constexpr uint32_t trigram_hash(uint32_t trigram) { return (trigram * 0x9E3779B1u) >> 16; }

constexpr uint32_t leading_trigram(std::string_view s) {
    return (uint32_t(uint8_t(s[0])) << 16) | (uint32_t(uint8_t(s[1])) << 8) | uint32_t(uint8_t(s[2]));
}

struct KeywordIndex {
    std::array<uint64_t, 1024> trigram_bits{};                  // 65536-bit filter
    std::array<std::array<uint8_t, 8>, 256> by_first_byte{};    // keyword indices
    std::array<uint8_t, 256> first_byte_count{};
};

constexpr KeywordIndex build_index() {
    KeywordIndex index;
    for (size_t k = 0; k < kKeywordCount; ++k) {
        const std::string_view text = kKeywords[k].text;
        const uint32_t h = trigram_hash(leading_trigram(text));
        index.trigram_bits[h >> 6] |= uint64_t{1} << (h & 63);
        const uint8_t first = uint8_t(text[0]);
        index.by_first_byte[first][index.first_byte_count[first]++] = uint8_t(k);
    }
    return index;
}

constexpr KeywordIndex kIndex = build_index();

static_assert([] {
    for (const Keyword& k : kKeywords)
        if (k.text.size() < 3) return false;
    for (uint8_t n : kIndex.first_byte_count)
        if (n > 8) return false;
    return true;
}());

}  // namespace

namespace turn_text {

uint64_t count_questions(std::string_view content) noexcept {
    // '?' never occurs inside a multi-byte UTF-8 sequence, so bytes count characters.
    uint64_t n = 0;
    for (const char c : content) n += (c == '?');
    return n;
}

uint64_t count_fences(std::string_view content) noexcept {
    uint64_t fences = 0;
    const char* p = content.data();
    const char* const end = p + content.size();
    while (end - p >= 3) {
        const void* hit = std::memchr(p, '`', static_cast<size_t>(end - p - 2));
        if (!hit) break;
        p = static_cast<const char*>(hit);
        if (p[1] == '`' && p[2] == '`') {
            ++fences;
            p += 3;
        } else {
            ++p;
        }
    }
    return fences;
}

namespace {
bool is_list_item(std::string_view line) noexcept {
    const std::string_view t = trim_unicode_space(line);
    if (t.size() < 2) return false;
    if ((t[0] == '-' || t[0] == '*') && t[1] == ' ') return true;
    return t[0] >= '0' && t[0] <= '9' && (t[1] == '.' || t[1] == ')');
}
}  // namespace

uint64_t count_list_items(std::string_view content) noexcept {
    // Lines end at '\n'; a '\r' before it is white space and trimmed away
    // with the rest, and a final '\n' leaves no extra (empty) line.
    uint64_t items = 0;
    const char* p = content.data();
    const char* const end = p + content.size();
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        const char* line_end = nl ? static_cast<const char*>(nl) : end;
        items += is_list_item(std::string_view(p, static_cast<size_t>(line_end - p)));
        p = line_end + 1;
    }
    return items;
}

bool mentions_code_file(std::string_view content) noexcept {
    size_t pos = 0;
    while ((pos = content.find('.', pos)) != std::string_view::npos) {
        ++pos;
        const std::string_view rest = content.substr(pos);
        for (const std::string_view tail : kExtensionTails)
            if (rest.starts_with(tail)) return true;
    }
    return false;
}

KeywordHits find_keywords(std::string_view lowered) noexcept {
    uint8_t found = 0;
    const size_t n = lowered.size();
    if (n >= 3) {
        const auto* p = reinterpret_cast<const uint8_t*>(lowered.data());
        uint32_t window = (uint32_t(p[0]) << 8) | p[1];
        for (size_t i = 0; i + 2 < n; ++i) {
            window = ((window << 8) | p[i + 2]) & 0xFFFFFFu;
            const uint32_t h = trigram_hash(window);
            if (!((kIndex.trigram_bits[h >> 6] >> (h & 63)) & 1)) continue;
            const uint8_t first = p[i];
            for (uint8_t c = 0; c < kIndex.first_byte_count[first]; ++c) {
                const Keyword& k = kKeywords[kIndex.by_first_byte[first][c]];
                if ((found & k.family) || k.text.size() > n - i) continue;
                if (std::memcmp(p + i, k.text.data(), k.text.size()) == 0) {
                    found |= k.family;
                    if (found == kAllFamilies) goto done;
                }
            }
        }
    }
done:
    return {(found & kError) != 0, (found & kDecision) != 0, (found & kPlanning) != 0};
}

}  // namespace turn_text

TurnFeatures TurnFeatures::from_content(uint64_t turn_id, std::string role, std::string_view content) {
    TurnFeatures f;
    f.role = std::move(role);
    f.turn_id = turn_id;
    f.content_length = content.size();
    f.question_count = turn_text::count_questions(content);
    f.code_block_count = turn_text::count_fences(content) / 2;
    f.list_item_count = turn_text::count_list_items(content);
    const turn_text::KeywordHits hits = turn_text::find_keywords(to_lower(content));
    f.has_error_keywords = hits.error;
    f.has_decision_keywords = hits.decision;
    f.has_planning_keywords = hits.planning;
    f.mentions_code_file = turn_text::mentions_code_file(content);
    return f;
}

std::pair<TrajectoryPhase, float> PhaseInferencer::infer_single(const TurnFeatures& f) const {
    constexpr size_t kPhases = 5;
    std::array<float, kPhases> score{};
    std::array<bool, kPhases> fired{};
    const auto add = [&](TrajectoryPhase phase, float amount) {
        const size_t i = static_cast<size_t>(phase);
        score[i] += amount;
        fired[i] = true;
    };
    const bool user = f.is_user();
    if (f.has_error_keywords) add(TrajectoryPhase::Debugging, 0.6f);
    if (f.has_planning_keywords) add(TrajectoryPhase::Planning, 0.4f);
    if (f.list_item_count > 3) add(TrajectoryPhase::Planning, 0.3f);
    if (f.has_decision_keywords) add(TrajectoryPhase::Synthesis, 0.5f);
    if (f.content_length > long_message_limit) add(TrajectoryPhase::Consolidation, 0.3f);
    if (f.code_block_count > 0) add(TrajectoryPhase::Consolidation, 0.3f);
    if (f.mentions_code_file) add(TrajectoryPhase::Consolidation, 0.2f);
    if (user && f.question_count >= question_threshold) add(TrajectoryPhase::Exploration, 0.5f);
    if (user && f.content_length < short_message_limit) add(TrajectoryPhase::Exploration, 0.2f);

    // Strictly greater replaces, so equal top scores keep the lowest phase code.
    size_t best = kPhases;
    for (size_t i = 0; i < kPhases; ++i)
        if (fired[i] && (best == kPhases || score[i] > score[best])) best = i;
    if (best == kPhases || score[best] < min_confidence) throw ValueError("Could not infer phase");
    return {static_cast<TrajectoryPhase>(best), score[best]};
}

}  // namespace halyard
