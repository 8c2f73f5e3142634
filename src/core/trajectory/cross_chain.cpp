#include "trajectory/cross_chain.hpp"

#include <cstring>
#include <utility>

#include "runtime/text.hpp"

namespace halyard {

LinkStrength::LinkStrength(float semantic_, float temporal_, float thematic_)
    : semantic(semantic_),
      temporal(temporal_),
      thematic(thematic_),
      combined((0.5f * semantic_ + 0.2f * temporal_) + 0.3f * thematic_) {}

CrossChainLink CrossChainLink::semantic(std::string source_chain, uint64_t source_node, std::string target_chain,
                                        uint64_t target_node, float similarity) {
    return CrossChainLink{std::move(source_chain),         std::move(target_chain), std::nullopt, source_node,
                          target_node, LinkStrength::from_semantic(similarity), CrossChainLinkType::Semantic};
}

// ---- knowledge-transfer detection ---------------------------------------------------
//
// The phrases are lowercase ASCII letters and spaces. Lowercasing changes
// ASCII letters in place and turns every other code point into non-ASCII
// bytes, with two exceptions: U+0130 becomes "i" + U+0307 (an "i" followed by
// a non-ASCII byte can only end a match, and no phrase ends in "i") and the
// Kelvin sign U+212A becomes "k". So, unless the text holds a Kelvin sign,
// a phrase occurs in the lowercased text exactly when it occurs in the
// original bytes compared without regard to ASCII case, and the search runs
// on the original bytes without building the lowered copy.
//
// The search is a Wu-Manber scan: every phrase is represented by its first
// kWindow bytes (kWindow is the length of the shortest phrase); a table over
// byte pairs gives how far the window may move when a pair is seen at its
// end, and a pair that ends some phrase's window triggers a check of the
// phrases it ends. Bytes are mapped to 7-bit keys by (b | 0x20) & 0x7F, which
// folds ASCII case; the other bytes that share a key with a phrase byte only
// make the scan move less far and are rejected by the exact check. Four
// cursors walk four parts of the text in turn, so their table look-ups
// overlap instead of waiting on one another.

namespace {

constexpr size_t kPatternCount = kKnowledgeTransferPatterns.size();
constexpr size_t kWindow = 11;
constexpr uint8_t kMaxShift = kWindow - 1;  // pairs span two bytes

constexpr unsigned fold7(unsigned char b) { return (b | 0x20u) & 0x7Fu; }
constexpr unsigned pair_key(unsigned char a, unsigned char b) { return (fold7(a) << 7) | fold7(b); }

struct Tables {
    std::array<uint8_t, 1u << 14> shift{};
    std::array<unsigned, kPatternCount> end_key{};
};

constexpr Tables build_tables() {
    Tables t;
    for (auto& s : t.shift) s = kMaxShift;
    for (size_t i = 0; i < kPatternCount; ++i) {
        const std::string_view p = kKnowledgeTransferPatterns[i];
        for (size_t q = 1; q < kWindow; ++q) {
            const unsigned key = pair_key(static_cast<unsigned char>(p[q - 1]), static_cast<unsigned char>(p[q]));
            const auto s = static_cast<uint8_t>(kWindow - 1 - q);
            if (s < t.shift[key]) t.shift[key] = s;
        }
        t.end_key[i] = pair_key(static_cast<unsigned char>(p[kWindow - 2]), static_cast<unsigned char>(p[kWindow - 1]));
    }
    return t;
}

constexpr Tables kTables = build_tables();

static_assert([] {
    for (auto p : kKnowledgeTransferPatterns) {
        if (p.size() < kWindow || p.size() > 24 || p.back() == 'i') return false;
        for (char c : p)
            if (c != ' ' && (c < 'a' || c > 'z')) return false;
    }
    return true;
}());

// A phrase as up to three 8-byte words at offsets 0, mid and len - 8 (the
// words may overlap); text word w matches when (w | mask) == value, where the
// mask folds case at letters and keeps spaces exact.
struct Phrase {
    size_t len;
    size_t offsets[3];
    uint64_t value[3];
    uint64_t mask[3];
};

uint64_t load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

struct Phrases {
    Phrase items[kPatternCount];
    Phrases() {
        for (size_t i = 0; i < kPatternCount; ++i) {
            const std::string_view p = kKnowledgeTransferPatterns[i];
            Phrase& ph = items[i];
            ph.len = p.size();
            ph.offsets[0] = 0;
            ph.offsets[1] = p.size() >= 16 ? 8 : p.size() - 8;
            ph.offsets[2] = p.size() - 8;
            for (int k = 0; k < 3; ++k) {
                unsigned char value[8], mask[8];
                for (int j = 0; j < 8; ++j) {
                    const char c = p[ph.offsets[k] + j];
                    value[j] = static_cast<unsigned char>(c);
                    mask[j] = c == ' ' ? 0x00 : 0x20;
                }
                ph.value[k] = load64(value);
                ph.mask[k] = load64(mask);
            }
        }
    }
};

const Phrases& phrases() {
    static const Phrases instance;
    return instance;
}

struct Scan {
    const unsigned char* text;
    size_t size;
    const Phrase* items;
    size_t best = kPatternCount;  // lowest phrase index found so far

    unsigned key_at(size_t end) const { return pair_key(text[end - 1], text[end]); }

    // Check the phrases whose window ends at `end` with pair `key`; only
    // phrases earlier than the best one found so far can matter.
    void verify(size_t end, unsigned key) {
        const size_t start = end - (kWindow - 1);
        for (size_t i = 0; i < best; ++i) {
            if (kTables.end_key[i] != key) continue;
            const Phrase& ph = items[i];
            if (ph.len > size - start) continue;
            const unsigned char* s = text + start;
            if (((load64(s + ph.offsets[0]) | ph.mask[0]) == ph.value[0]) &&
                ((load64(s + ph.offsets[1]) | ph.mask[1]) == ph.value[1]) &&
                ((load64(s + ph.offsets[2]) | ph.mask[2]) == ph.value[2])) {
                best = i;
                return;
            }
        }
    }

    // Advance one cursor by one step.
    void step(size_t& pos) {
        const unsigned key = key_at(pos);
        const uint8_t s = kTables.shift[key];
        if (s != 0) {
            pos += s;
            return;
        }
        verify(pos, key);
        ++pos;
    }

    void run() {
        // Window ends lie in [kWindow - 1, size); split them among the cursors.
        constexpr size_t kLanes = 4;
        const size_t first = kWindow - 1;
        const size_t span = size - first;
        size_t pos[kLanes], end[kLanes];
        const size_t lanes = span >= 256 ? kLanes : 1;
        for (size_t l = 0; l < lanes; ++l) {
            pos[l] = first + span * l / lanes;
            end[l] = first + span * (l + 1) / lanes;
        }
        if (lanes == kLanes) {
            while (pos[0] < end[0] && pos[1] < end[1] && pos[2] < end[2] && pos[3] < end[3]) {
                step(pos[0]);
                step(pos[1]);
                step(pos[2]);
                step(pos[3]);
                if (best == 0) return;
            }
        }
        for (size_t l = 0; l < lanes; ++l)
            while (pos[l] < end[l]) {
                step(pos[l]);
                if (best == 0) return;
            }
    }
};

std::optional<size_t> search(std::string_view bytes) {
    if (bytes.size() < kWindow) return std::nullopt;
    Scan scan{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), phrases().items};
    scan.run();
    if (scan.best == kPatternCount) return std::nullopt;
    return scan.best;
}

}  // namespace

std::optional<size_t> detect_knowledge_transfer(std::string_view utf8, bool known_ascii) {
    constexpr std::string_view kKelvin = "\xE2\x84\xAA";
    if (!known_ascii && utf8.find(kKelvin) != std::string_view::npos) return search(to_lower(utf8));
    return search(utf8);
}

}  // namespace halyard
