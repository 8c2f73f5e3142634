#include "trajectory/phase.hpp"

#include <algorithm>
#include <array>
#include <bit>
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
constexpr size_t kLongestKeyword = [] {
    size_t longest = 0;
    for (const Keyword& k : kKeywords) longest = std::max(longest, k.text.size());
    return longest;
}();

// Matched case-sensitively on the content as received, after a '.'.
constexpr std::string_view kExtensionTails[] = {"rs", "py", "ts", "js", "go", "java", "cpp", "h"};

// A hashed bitset of every keyword's first three bytes rejects almost every
// text position with one lookup; only the survivors are compared in full.
constexpr uint32_t trigram_hash(uint32_t trigram) { return (trigram * 0x9E3779B1u) >> 16; }

// The three bytes at `p` as p[0] | p[1] << 8 | p[2] << 16.
constexpr uint32_t trigram_at(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16); }

constexpr uint32_t leading_trigram(std::string_view s) {
    return uint32_t(uint8_t(s[0])) | (uint32_t(uint8_t(s[1])) << 8) | (uint32_t(uint8_t(s[2])) << 16);
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

namespace {

inline bool may_start_keyword(uint32_t trigram) {
    const uint32_t h = trigram_hash(trigram);
    return (kIndex.trigram_bits[h >> 6] >> (h & 63)) & 1;
}

// Compares the keywords that begin with p[i] at position i; returns the
// updated set of found families.
inline uint8_t verify_at(const uint8_t* p, size_t i, size_t n, uint8_t found) {
    const uint8_t first = p[i];
    for (uint8_t c = 0; c < kIndex.first_byte_count[first]; ++c) {
        const Keyword& k = kKeywords[kIndex.by_first_byte[first][c]];
        if ((found & k.family) || k.text.size() > n - i) continue;
        if (std::memcmp(p + i, k.text.data(), k.text.size()) == 0) found |= k.family;
    }
    return found;
}

// Loads the trigram at p without a dependency on the previous position.
inline uint32_t load_trigram(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t w;
        std::memcpy(&w, p, sizeof w);  // needs four readable bytes
        return w & 0xFFFFFFu;
    } else {
        return trigram_at(p);
    }
}

// Adds the families of the keywords found in lower-cased text to `found`.
uint8_t scan_lowered(std::string_view lowered, uint8_t found) noexcept {
    const size_t n = lowered.size();
    const auto* p = reinterpret_cast<const uint8_t*>(lowered.data());
    size_t i = 0;
    // Eight positions per step, one branch for all eight; every position
    // reads four bytes, so the block needs i + 11 < n.
    constexpr size_t kBlock = 8;
    while (i + kBlock + 3 <= n && found != kAllFamilies) {
        bool any = false;
        for (size_t j = 0; j < kBlock; ++j) any |= may_start_keyword(load_trigram(p + i + j));
        if (any)
            for (size_t j = 0; j < kBlock; ++j)
                if (may_start_keyword(load_trigram(p + i + j))) found = verify_at(p, i + j, n, found);
        i += kBlock;
    }
    for (; i + 3 <= n && found != kAllFamilies; ++i)
        if (may_start_keyword(trigram_at(p + i))) found = verify_at(p, i, n, found);
    return found;
}

}  // namespace

KeywordHits find_keywords(std::string_view content) {
    // Lowering a block on its own gives the same ASCII bytes as lowering the
    // whole text when blocks start at a code point (only the choice between
    // the two non-ASCII sigma forms looks across the boundary). The last
    // lowered bytes of a block are kept so a keyword may straddle two blocks.
    constexpr size_t kBlockBytes = 64 * 1024;
    constexpr size_t kCarry = kLongestKeyword - 1;
    uint8_t found = 0;
    std::string carry;
    size_t pos = 0;
    while (pos < content.size() && found != kAllFamilies) {
        size_t end = std::min(pos + kBlockBytes, content.size());
        while (end < content.size() && (uint8_t(content[end]) & 0xC0) == 0x80) ++end;
        std::string lowered = to_lower(content.substr(pos, end - pos));
        if (!carry.empty()) lowered.insert(0, carry);
        found = scan_lowered(lowered, found);
        carry.assign(lowered, lowered.size() - std::min(kCarry, lowered.size()));
        pos = end;
    }
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
    const turn_text::KeywordHits hits = turn_text::find_keywords(content);
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
