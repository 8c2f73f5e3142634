#include "trajectory/chains.hpp"

#include <atomic>
#include <charconv>

#include "runtime/clock.hpp"
#include "runtime/text.hpp"

namespace halyard {

namespace {
std::atomic<uint64_t> chain_id_counter{0};
}  // namespace

std::string generate_chain_id() {
    const uint64_t n = chain_id_counter.fetch_add(1, std::memory_order_relaxed);
    // "chain_<seconds in hex>_<counter in hex, at least 4 digits>"
    char seconds[16], count[16];
    const auto seconds_digits = static_cast<size_t>(std::to_chars(seconds, seconds + 16, unix_now(), 16).ptr - seconds);
    const auto count_digits = static_cast<size_t>(std::to_chars(count, count + 16, n, 16).ptr - count);
    std::string id = "chain_";
    id.append(seconds, seconds_digits);
    id += '_';
    if (count_digits < 4) id.append(4 - count_digits, '0');
    id.append(count, count_digits);
    return id;
}

std::string ChainManager::store(std::string id, BranchStateMachine machine) {
    const uint64_t now = unix_now();
    ChainMetadata meta;
    meta.id = id;
    meta.created_at = now;
    meta.last_accessed_at = now;
    meta.node_count = machine.graph().node_count();
    meta.branch_count = machine.branch_count();
    meta.is_active = true;
    chains_.insert_or_assign(id, std::move(machine));
    metadata_.insert_or_assign(id, std::move(meta));
    if (!active_) active_ = id;
    return id;
}

std::string ChainManager::create_chain(std::optional<std::string> id) {
    if (chains_.size() >= kMaxChains) throw ChainError::maximum_reached();
    std::string chain_id = id ? std::move(*id) : generate_chain_id();
    if (chains_.count(chain_id)) throw ChainError::exists(chain_id);
    return store(std::move(chain_id), BranchStateMachine::from_graph(TrajectoryGraph{}));
}

std::string ChainManager::create_chain_from_graph(const TrajectoryGraph& graph, std::optional<std::string> id) {
    std::string chain_id = id ? std::move(*id) : generate_chain_id();
    if (chains_.count(chain_id)) throw ChainError::exists(chain_id);
    return store(std::move(chain_id), BranchStateMachine::from_graph(graph));
}

const BranchStateMachine* ChainManager::get_chain(const std::string& id) const noexcept {
    auto it = chains_.find(id);
    return it == chains_.end() ? nullptr : &it->second;
}

const ChainMetadata* ChainManager::get_metadata(const std::string& id) const noexcept {
    auto it = metadata_.find(id);
    return it == metadata_.end() ? nullptr : &it->second;
}

std::vector<std::string> ChainManager::chain_ids() const {
    std::vector<std::string> out;
    out.reserve(chains_.size());
    for (const auto& [id, machine] : chains_) out.push_back(id);
    return out;
}

void ChainManager::set_active_chain(const std::string& id) {
    if (!chains_.count(id)) throw ChainError::not_found(id);
    active_ = id;
}

const BranchStateMachine* ChainManager::active_chain_machine() const noexcept {
    return active_ ? get_chain(*active_) : nullptr;
}

bool ChainManager::delete_chain(const std::string& id) {
    const bool removed = chains_.erase(id) != 0;
    metadata_.erase(id);
    if (active_ && *active_ == id) {
        if (chains_.empty()) active_.reset();
        else active_ = chains_.begin()->first;
    }
    return removed;
}

void ChainManager::refresh(const std::string& id) {
    auto meta = metadata_.find(id);
    if (meta == metadata_.end()) return;
    if (const BranchStateMachine* machine = get_chain(id)) {
        meta->second.node_count = machine->graph().node_count();
        meta->second.branch_count = machine->branch_count();
    }
    meta->second.last_accessed_at = unix_now();
}

std::string ChainManager::split_chain(const std::string& id, NodeId node) {
    auto it = chains_.find(id);
    if (it == chains_.end()) throw ChainError::not_found(id);
    try {
        it->second.split(node);
    } catch (const BranchError& e) {
        throw ChainError::branch(e);
    }
    // Only the metadata of the new chain is made; the split stays inside the
    // source chain's machine.
    std::string new_id = generate_chain_id();
    const uint64_t now = unix_now();
    ChainMetadata meta;
    meta.id = new_id;
    meta.title = "Split from " + id + " at node " + std::to_string(node);
    meta.created_at = now;
    meta.last_accessed_at = now;
    meta.is_active = true;
    metadata_.insert_or_assign(new_id, std::move(meta));
    refresh(id);
    return new_id;
}

void ChainManager::merge_chains(const std::string& from, const std::string& into) {
    if (from == into) throw ChainError::invalid_operation("Cannot merge chain with itself");
    if (!chains_.count(from)) throw ChainError::not_found(from);
    if (!chains_.count(into)) throw ChainError::not_found(into);
    // The source is dropped; the target's machine is not changed.
    chains_.erase(from);
    metadata_.erase(from);
    refresh(into);
    if (active_ && *active_ == from) active_ = into;
}

void ChainManager::deactivate_chain(const std::string& id) {
    auto it = metadata_.find(id);
    if (it == metadata_.end()) throw ChainError::not_found(id);
    it->second.is_active = false;
}

void ChainManager::reactivate_chain(const std::string& id) {
    auto it = metadata_.find(id);
    if (it == metadata_.end()) throw ChainError::not_found(id);
    it->second.is_active = true;
    it->second.last_accessed_at = unix_now();
}

ChainManager::Stats ChainManager::stats() const {
    Stats s;
    s.total_chains = chains_.size();
    for (const auto& [id, machine] : chains_) {
        if (const ChainMetadata* meta = get_metadata(id); meta && meta->is_active) ++s.active_chains;
        s.total_nodes += machine.graph().node_count();
        s.total_branches += machine.branch_count();
    }
    return s;
}

std::vector<std::string> ChainManager::find_by_tag(const std::string& tag) const {
    std::vector<std::string> out;
    for (const auto& [id, meta] : metadata_)
        for (const std::string& t : meta.tags)
            if (t == tag) {
                out.push_back(id);
                break;
            }
    return out;
}

std::vector<std::string> ChainManager::find_by_title(const std::string& query) const {
    const std::string needle = to_lower(query);
    std::vector<std::string> out;
    for (const auto& [id, meta] : metadata_)
        if (meta.title && to_lower(*meta.title).find(needle) != std::string::npos) out.push_back(id);
    return out;
}

}  // namespace halyard
