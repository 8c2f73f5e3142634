// Rings of conversation turns: circular sequences of (NodeId, coordinate)
// pairs with wrapping index arithmetic. The forward ring of a dual ring holds
// assistant responses, the inverse ring user messages.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "trajectory/coordinates.hpp"

namespace halyard {

using NodeId = uint64_t;

struct RingElement {
    NodeId id = 0;
    TrajectoryCoordinate5D coord;
};

class Ring {
public:
    Ring() = default;
    // Capacity only reserves storage; the ring grows without limit.
    static Ring with_capacity(uint64_t capacity);

    void push(NodeId id, const TrajectoryCoordinate5D& coord) { elements_.push_back({id, coord}); }
    // The element at idx mod len; nullptr when the ring is empty.
    const RingElement* get(uint64_t idx) const;
    uint64_t len() const { return elements_.size(); }
    bool is_empty() const { return elements_.empty(); }

    // Shortest distance between two positions in either direction.
    uint64_t ring_distance(uint64_t a, uint64_t b) const;
    uint64_t next_idx(uint64_t idx) const;
    // The argument is not reduced first: prev_idx(7) on a ring of 5 is 6.
    uint64_t prev_idx(uint64_t idx) const;
    // Before- and after-positions by increasing step 1..radius; a step whose
    // two positions coincide contributes one entry. Not de-duplicated.
    std::vector<uint64_t> neighbor_indices(uint64_t idx, uint64_t radius) const;

private:
    std::vector<RingElement> elements_;
};

class DualRing {
public:
    void add(NodeId id, const TrajectoryCoordinate5D& coord, bool is_user) {
        (is_user ? inverse_ : forward_).push(id, coord);
    }
    uint64_t len() const { return forward_.len() + inverse_.len(); }
    bool is_empty() const { return forward_.is_empty() && inverse_.is_empty(); }
    uint64_t forward_len() const { return forward_.len(); }
    uint64_t inverse_len() const { return inverse_.len(); }
    const RingElement* get_forward(uint64_t idx) const { return forward_.get(idx); }
    const RingElement* get_inverse(uint64_t idx) const { return inverse_.get(idx); }

private:
    Ring forward_;  // assistant responses
    Ring inverse_;  // user messages
};

}  // namespace halyard
