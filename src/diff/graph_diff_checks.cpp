// The record's invariant checker: check_invariants() over the whole record,
// check_id() over one id, and the check after every operation of a debug
// build. Out of line, so that no operation's release code changes with it.
//
// Invariants kept by every operation:
//   1. no id is in both nodes and deleted_nodes;
//   2. no edge in new_or_updated has an endpoint in deleted_nodes;
//   3. no (source, target) pair is in both new_or_updated and deleted;
//   4. every set in deleted is non-empty;
//   5. a target map in new_or_updated is empty only when delete_node removed
//      its last target; such a source stays, encodes with zero targets and
//      counts in num_edges.
// Internally, moreover:
//   6. each dense list names each of its ids once, and each id's position
//      in a list (IdState::*_pos) is set exactly when the list names it, at
//      that position; a DeletedSource's source_index names the id whose
//      deleted_source_pos points at it;
//   7. an id that is no source of new_or_updated has an empty target map
//      holding no block;
//   8. t's `incoming` holds s exactly when s's target map holds t, and the
//      two edge counters equal the entries over all target maps and over
//      all deleted sets;
//   9. the id pool finds every id at its own index, with its hash bits in
//      its slot, and every inner table's layout is sound (distinct keys,
//      all interned indices, an index that finds every row);
//  10. the blocks the inner tables hold, the block pool's free lists and the
//      rest of its current slab add up to its slabs exactly, and its large
//      blocks out are the tables' large blocks;
//  11. the node store's JSON length total is the sum over its updates;
//  12. the node table finds every update's id at its own position, its
//      slots and records agree (one slot per record, with the record's
//      hash bits), and no id both has an update and is marked deleted
//      (1, for the table kept apart from the pool).
// check_invariants() checks 1 to 4 and 6 to 11; 5 speaks of history, which
// the record does not keep (a decoded record may hold empty target maps
// too).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "diff/graph_diff.hpp"

namespace tarnu {

std::string GraphDiff::check_id(std::uint32_t x, std::uint32_t walk_limit) const {
    const std::uint32_t ids = ids_.size();
    const State& s = ids_[x];
    const auto flaw = [x](std::string_view what) { return "id " + std::to_string(x) + ": " + std::string(what); };
    if (s.deleted_node_pos != kNone &&
        (s.deleted_node_pos >= deleted_nodes_.size() || deleted_nodes_[s.deleted_node_pos] != x))
        return flaw("its position in deleted_nodes holds another id");
    if (s.source_pos != kNone && (s.source_pos >= sources_.size() || sources_[s.source_pos] != x))
        return flaw("its position among the sources holds another id");
    if (s.deleted_source_pos != kNone &&
        (s.deleted_source_pos >= deleted_.size() || deleted_[s.deleted_source_pos].source_index != x))
        return flaw("its position among the deleted sources holds another id");
    if (s.deleted_node_pos != kNone && nodes_.find(ids_.id(x), hash_id(ids_.id(x))) != kNone)
        return flaw("both updated and deleted");

    std::string_view problem;
    if (s.source_pos == kNone) {
        if (!s.targets.empty() || s.targets.memory_bytes() != 0) return flaw("no source, yet a target map");
    } else {
        if (s.deleted_node_pos != kNone) return flaw("deleted, yet a source of pending edges");
        if (s.targets.capacity() <= walk_limit) {
            if (const char* bad = s.targets.check(ids)) return flaw(std::string("target map: ") + bad);
            s.targets.for_each([&](std::uint32_t t, const W&) {
                if (!problem.empty()) return;
                if (ids_[t].deleted_node_pos != kNone)
                    problem = "a pending edge to a deleted node";
                else if (!ids_[t].incoming.contains(x))
                    problem = "a target whose incoming set lacks this source";
            });
            if (!problem.empty()) return flaw(problem);
        }
    }
    if (s.incoming.capacity() <= walk_limit) {
        if (const char* bad = s.incoming.check(ids)) return flaw(std::string("incoming set: ") + bad);
        s.incoming.for_each([&](std::uint32_t source) {
            if (problem.empty() && (ids_[source].source_pos == kNone || !ids_[source].targets.contains(x)))
                problem = "an incoming source whose target map lacks this id";
        });
        if (!problem.empty()) return flaw(problem);
    }
    if (s.deleted_source_pos != kNone) {
        const detail::InnerTable<void>& deleted = deleted_[s.deleted_source_pos].targets;
        if (deleted.empty()) return flaw("an empty set in deleted");
        if (deleted.capacity() <= walk_limit) {
            if (const char* bad = deleted.check(ids)) return flaw(std::string("deleted set: ") + bad);
            if (s.source_pos != kNone) {
                deleted.for_each([&](std::uint32_t t) {
                    if (problem.empty() && s.targets.contains(t)) problem = "an edge both pending and deleted";
                });
                if (!problem.empty()) return flaw(problem);
            }
        }
    }
    return {};
}

std::string GraphDiff::check_invariants() const {
    if (const char* bad = ids_.check([](const Id& id) { return hash_id(id); }))
        return std::string("id pool: ") + bad;
    const std::uint32_t ids = ids_.size();
    const auto at = [](std::string_view list, std::size_t pos, std::string_view what) {
        return std::string(list) + " at " + std::to_string(pos) + ": " + std::string(what);
    };
    if (const char* bad = nodes_.check()) return std::string("node table: ") + bad;
    for (std::size_t i = 0; i < deleted_nodes_.size(); ++i)
        if (deleted_nodes_[i] >= ids || ids_[deleted_nodes_[i]].deleted_node_pos != i)
            return at("deleted_nodes", i, "its id points elsewhere");
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (sources_[i] >= ids || ids_[sources_[i]].source_pos != i)
            return at("sources", i, "its id points elsewhere");
    for (std::size_t i = 0; i < deleted_.size(); ++i)
        if (deleted_[i].source_index >= ids || ids_[deleted_[i].source_index].deleted_source_pos != i)
            return at("deleted", i, "its id points elsewhere");

    // Every table's layout first, so that the walks below look keys up only
    // in sound tables; then each id against the tables it names.
    std::size_t listed[4] = {nodes_.size()};
    std::size_t targets = 0;
    std::size_t incoming = 0;
    std::size_t deleted_targets = 0;
    detail::BlockPool::Usage usage;
    for (std::uint32_t x = 0; x < ids; ++x) {
        const State& s = ids_[x];
        if (const char* bad = s.targets.check(ids)) return "id " + std::to_string(x) + ": target map: " + bad;
        if (const char* bad = s.incoming.check(ids)) return "id " + std::to_string(x) + ": incoming set: " + bad;
        listed[1] += s.deleted_node_pos != kNone;
        listed[2] += s.source_pos != kNone;
        listed[3] += s.deleted_source_pos != kNone;
        targets += s.targets.size();
        incoming += s.incoming.size();
        s.targets.count_block(usage);
        s.incoming.count_block(usage);
    }
    for (std::size_t i = 0; i < deleted_.size(); ++i) {
        if (const char* bad = deleted_[i].targets.check(ids)) return at("deleted", i, bad);
        deleted_targets += deleted_[i].targets.size();
        deleted_[i].targets.count_block(usage);
    }
    for (std::uint32_t x = 0; x < ids; ++x)
        if (std::string bad = check_id(x, kNone); !bad.empty()) return bad;

    if (listed[0] != nodes_.size() || listed[1] != deleted_nodes_.size() || listed[2] != sources_.size() ||
        listed[3] != deleted_.size())
        return "ids hold positions in lists that do not name them";
    if (targets != pending_targets_) return "the count of pending edges is not the sum over the target maps";
    if (incoming != targets) return "incoming sets and target maps hold different numbers of edges";
    if (deleted_targets != deleted_targets_) return "the count of deleted edges is not the sum over the sets";
    if (const char* bad = blocks_.check(usage)) return std::string("block pool: ") + bad;
    std::uint64_t json_bytes = 0;
    const Store& updates = nodes_.store();
    for (std::size_t i = 0; i < updates.size(); ++i) json_bytes += updates.json_length(i);
    if (json_bytes != updates.json_bytes()) return "the node store's JSON total is not the sum over its updates";
    return {};
}

#ifdef TARNU_CHECK_INVARIANTS
void GraphDiff::check_after(std::string_view operation, const Id* a, const Id* b) noexcept {
    ++checks_done_;
    std::string flaw;
    if (ids_.size() + pending_targets_ + deleted_targets_ <= kFullCheckUpTo || std::has_single_bit(checks_done_)) {
        flaw = check_invariants();
    } else {
        for (const Id* id : {a, b}) {
            if (id == nullptr || !flaw.empty()) continue;
            const std::uint32_t x = ids_.find(*id, hash_id(*id));
            if (x != kNone) flaw = check_id(x, kLocalWalk);
        }
    }
    if (!flaw.empty()) detail::invariant_broken(operation, flaw);
}
#endif

}  // namespace tarnu
