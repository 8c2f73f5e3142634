#include "trajectory/coordinate_tree.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace halyard {

namespace {
// Reserving is only an optimisation; a huge request must not fail the call.
constexpr uint64_t kMaxReserve = uint64_t{1} << 16;
// Node positions and external parents share the 32-bit slot space.
constexpr size_t kMaxNodes = (size_t{1} << 31) - 1;
}  // namespace

CoordinateTree::CoordinateTree(uint64_t capacity) {
    const auto reserve = static_cast<size_t>(std::min(capacity, kMaxReserve));
    nodes_.reserve(reserve);
    index_.reserve(reserve);
}

std::optional<CoordinateTree::Slot> CoordinateTree::slot_of(NodeId id) const {
    auto it = index_.find(id);
    if (it == index_.end()) return std::nullopt;
    return it->second;
}

bool CoordinateTree::add_node(NodeId id, std::optional<NodeId> parent, const TrajectoryCoordinate5D& coordinate) {
    if (index_.contains(id)) return false;
    if (nodes_.size() >= kMaxNodes) throw std::length_error("CoordinateTree cannot hold more nodes");
    const auto slot = static_cast<Slot>(nodes_.size());
    Node node;
    node.id = id;
    node.parent = parent;
    node.coordinate = coordinate;
    nodes_.push_back(node);
    try {
        index_.emplace(id, slot);
    } catch (...) {
        nodes_.pop_back();
        throw;
    }
    if (parent) {
        if (auto p = slot_of(*parent)) {
            Node& pn = nodes_[*p];
            if (pn.last_child == kNone)
                pn.first_child = slot;
            else
                nodes_[pn.last_child].next_sibling = slot;
            pn.last_child = slot;
        }
    } else if (!root_) {
        root_ = slot;
    }
    preprocessed_ = false;
    return true;
}

void CoordinateTree::preprocess() {
    if (preprocessed_ || !root_) return;
    const size_t n = nodes_.size();
    levels_ = std::max<size_t>(static_cast<size_t>(std::ceil(std::log2(static_cast<double>(n) + 1.0))), 1);

    // Depths from the root. Popping a node schedules its next sibling (same
    // depth) and its first child (one deeper): a preorder walk whose stack
    // never holds more than depth + 1 entries.
    std::vector<std::pair<Slot, uint64_t>> stack{{*root_, 0}};
    while (!stack.empty()) {
        const auto [v, d] = stack.back();
        stack.pop_back();
        nodes_[v].depth = d;
        if (nodes_[v].next_sibling != kNone) stack.emplace_back(nodes_[v].next_sibling, d);
        if (nodes_[v].first_child != kNone) stack.emplace_back(nodes_[v].first_child, d + 1);
    }
    max_depth_ = 0;
    for (const Node& node : nodes_) max_depth_ = std::max(max_depth_, node.depth);

    // Level 0: the recorded parent, a node or an external id.
    external_.clear();
    HashMap<NodeId, Slot> external_slot;
    up_.assign(levels_ * n, kNone);
    for (size_t v = 0; v < n; ++v) {
        if (!nodes_[v].parent) continue;
        const NodeId p = *nodes_[v].parent;
        if (auto s = slot_of(p)) {
            up_[v] = *s;
        } else {
            auto [it, added] = external_slot.try_emplace(p, static_cast<Slot>(n + external_.size()));
            if (added) external_.push_back(p);
            up_[v] = it->second;
        }
    }
    // Level j: the level j-1 entry of the level j-1 ancestor, when that is a node.
    for (size_t j = 1; j < levels_; ++j) {
        const Slot* prev = up_.data() + (j - 1) * n;
        Slot* cur = up_.data() + j * n;
        for (size_t v = 0; v < n; ++v) {
            const Slot u = prev[v];
            if (u < n) cur[v] = prev[u];
        }
    }
    preprocessed_ = true;
}

std::optional<NodeId> CoordinateTree::root() const {
    if (!root_) return std::nullopt;
    return nodes_[*root_].id;
}

std::optional<uint64_t> CoordinateTree::depth(NodeId id) const {
    auto s = slot_of(id);
    if (!s) return std::nullopt;
    return nodes_[*s].depth;
}

CoordinateTree::Slot CoordinateTree::kth_slot(Slot s, uint64_t k) const {
    if (levels_ < 64 && (k >> levels_) != 0) return kNone;  // above the root
    for (size_t j = 0; k != 0; ++j, k >>= 1) {
        if (!(k & 1)) continue;
        if (s >= nodes_.size()) return kNone;
        s = up(j, s);
        if (s == kNone) return kNone;
    }
    return s;
}

std::optional<NodeId> CoordinateTree::kth_ancestor(NodeId node, uint64_t k) const {
    const auto s = slot_of(node);
    if (k == 0) return s ? std::optional<NodeId>(node) : std::nullopt;
    if (!preprocessed_ || !s) return std::nullopt;
    const Slot r = kth_slot(*s, k);
    if (r == kNone) return std::nullopt;
    return id_of(r);
}

std::optional<CoordinateTree::Slot> CoordinateTree::lca_slot(NodeId a, NodeId b) const {
    if (!preprocessed_) return std::nullopt;
    const auto sa = slot_of(a), sb = slot_of(b);
    if (!sa || !sb) return std::nullopt;
    const uint64_t da = nodes_[*sa].depth, db = nodes_[*sb].depth;
    // x: the deeper side (a on ties), lifted to the other's depth.
    Slot x = da >= db ? *sa : *sb;
    Slot y = da >= db ? *sb : *sa;
    const uint64_t diff = da >= db ? da - db : db - da;
    if (diff != 0) x = kth_slot(x, diff);
    if (x == kNone) return std::nullopt;
    if (x == y) return x;
    for (size_t j = levels_; j-- > 0;) {
        const Slot ux = up(j, x), uy = up(j, y);
        if (ux != kNone && uy != kNone && ux != uy) {
            x = ux;
            y = uy;
        }
    }
    const Slot answer = up(0, x);
    if (answer == kNone) return std::nullopt;
    return answer;
}

std::optional<NodeId> CoordinateTree::lca(NodeId a, NodeId b) const {
    const auto l = lca_slot(a, b);
    if (!l) return std::nullopt;
    return id_of(*l);
}

std::optional<uint64_t> CoordinateTree::path_distance(NodeId a, NodeId b) const {
    const auto l = lca_slot(a, b);
    // An ancestor that is not a node has no depth; an ancestor recorded
    // deeper than the nodes (possible only around detached nodes) gives no
    // distance either.
    if (!l || *l >= nodes_.size()) return std::nullopt;
    const uint64_t sum = nodes_[*slot_of(a)].depth + nodes_[*slot_of(b)].depth;
    const uint64_t twice_lca = 2 * nodes_[*l].depth;
    if (sum < twice_lca) return std::nullopt;
    return sum - twice_lca;
}

bool CoordinateTree::is_ancestor(NodeId a, NodeId b) const { return lca(a, b) == a; }

bool CoordinateTree::is_descendant(NodeId a, NodeId b) const { return lca(b, a) == b; }

std::optional<std::vector<NodeId>> CoordinateTree::path(NodeId a, NodeId b) const {
    const auto l = lca_slot(a, b);
    if (!l) return std::nullopt;
    const size_t n = nodes_.size();
    // Ids from `from` up to (excluding) the ancestor. A walk longer than the
    // node count has entered a cycle of recorded parents and never arrives.
    auto climb = [&](Slot from, std::vector<NodeId>& out) {
        Slot s = from;
        while (s != *l) {
            if (s >= n || up(0, s) == kNone || out.size() >= n) return false;
            out.push_back(nodes_[s].id);
            s = up(0, s);
        }
        return true;
    };
    std::vector<NodeId> up_from_a, up_from_b;
    if (!climb(*slot_of(a), up_from_a) || !climb(*slot_of(b), up_from_b)) return std::nullopt;
    up_from_a.reserve(up_from_a.size() + 1 + up_from_b.size());
    up_from_a.push_back(id_of(*l));
    up_from_a.insert(up_from_a.end(), up_from_b.rbegin(), up_from_b.rend());
    return up_from_a;
}

std::vector<NodeId> CoordinateTree::nodes_at_depth(uint64_t depth) const {
    std::vector<NodeId> out;
    for (const Node& node : nodes_)
        if (node.depth == depth) out.push_back(node.id);
    return out;
}

std::vector<NodeId> CoordinateTree::leaves() const {
    std::vector<NodeId> out;
    for (const Node& node : nodes_)
        if (node.first_child == kNone) out.push_back(node.id);
    return out;
}

std::vector<NodeId> CoordinateTree::preorder() const {
    std::vector<NodeId> out;
    if (!root_) return out;
    out.reserve(nodes_.size());
    std::vector<Slot> stack{*root_};
    while (!stack.empty()) {
        const Slot v = stack.back();
        stack.pop_back();
        out.push_back(nodes_[v].id);
        if (nodes_[v].next_sibling != kNone) stack.push_back(nodes_[v].next_sibling);
        if (nodes_[v].first_child != kNone) stack.push_back(nodes_[v].first_child);
    }
    return out;
}

}  // namespace halyard
