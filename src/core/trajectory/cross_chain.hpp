// Links between turns of different conversation chains, and detection of the
// phrases by which a user signals that an earlier conversation is reused.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halyard {

enum class CrossChainLinkType : uint8_t {
    Semantic,
    Reference,
    Continuation,
    Related,
    Alternative,
    KnowledgeTransfer,
};

// Three strength components; `combined` is fixed at construction as
// (0.5 * semantic + 0.2 * temporal) + 0.3 * thematic. Nothing is clamped.
struct LinkStrength {
    float semantic;
    float temporal;
    float thematic;
    float combined;

    LinkStrength(float semantic, float temporal, float thematic);
    static LinkStrength from_semantic(float similarity) { return {similarity, 0.5f, 0.5f}; }
    // A combined value equal to the threshold counts as strong.
    bool is_strong(float threshold) const { return combined >= threshold; }
};

struct CrossChainLink {
    std::string source_chain;
    std::string target_chain;
    std::optional<std::string> description;
    uint64_t source_node;
    uint64_t target_node;
    LinkStrength strength;
    CrossChainLinkType link_type;

    static CrossChainLink semantic(std::string source_chain, uint64_t source_node, std::string target_chain,
                                   uint64_t target_node, float similarity);
    bool is_bidirectional() const {
        return link_type == CrossChainLinkType::Semantic || link_type == CrossChainLinkType::Related;
    }
};

// The knowledge-transfer phrases, in the order they are tried.
inline constexpr std::array<std::string_view, 10> kKnowledgeTransferPatterns = {
    "as we discussed", "like we did before",  "similar to what we", "remember when we",  "building on the",
    "like in the",     "same as before",      "just like last time", "from our previous", "we already covered",
};

// Index into kKnowledgeTransferPatterns of the first phrase (in table order)
// that occurs anywhere in the lowercased text, or nullopt. Matching is plain
// substring search after full Unicode lowercasing: no word boundaries.
// `known_ascii` lets a caller that already knows the text is ASCII skip a scan.
std::optional<size_t> detect_knowledge_transfer(std::string_view utf8, bool known_ascii = false);

}  // namespace halyard
