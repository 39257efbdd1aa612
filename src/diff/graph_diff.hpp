#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/id_pool.hpp"
#include "diff/inner_table.hpp"
#include "diff/invariant_checks.hpp"
#include "diff/prefetch.hpp"

namespace tarnu {

namespace testing {
struct DiffTamper;  // the tests' way to break a record on purpose
}  // namespace testing

// The one refusal of the record: an edge whose endpoint is marked deleted.
struct DiffError {
    std::string_view message;
};

inline constexpr std::string_view kDeletedEndpointMessage =
    "Either from or to nodes are marked to be deleted";

namespace detail {

// Everything the diff keeps per interned id besides the id itself, which the
// pool keeps beside it: 48 bytes that, with the id, fill one cache line. An
// add_edge touches that line for each endpoint and the tables hanging off
// them, nothing else.
template <class Id, class W>
struct IdState {
    // Targets of the pending edges leaving this id (its map in new_or_updated).
    // Meaningful only while `source_pos` is set; such a map may be empty.
    InnerTable<W> targets;
    // Sources whose target map holds this id: the reverse of `targets`, so
    // that deleting a node costs in proportion to its own pending edges.
    InnerTable<void> incoming;
    // Positions in the record's dense lists, kNoIndex when absent.
    std::uint32_t node_pos = kNoIndex;            // in nodes
    std::uint32_t deleted_node_pos = kNoIndex;    // in deleted_nodes
    std::uint32_t source_pos = kNoIndex;          // among the sources of new_or_updated
    std::uint32_t deleted_source_pos = kNoIndex;  // among the sources of deleted
};

// One source of `deleted` with the targets whose edges from it are to be deleted.
struct DeletedSource {
    std::uint32_t source_index;  // the interned index of the source (not a position)
    InnerTable<void> targets;
};

// Grows v geometrically so that `extra` more push_backs cannot allocate.
template <class V>
void reserve_for(std::vector<V>& v, std::size_t extra) {
    const std::size_t needed = v.size() + extra;
    if (needed > v.capacity()) v.reserve(std::max({needed, v.capacity() * 2, std::size_t{4}}));
}

// Empties v, keeping its capacity unless that is far beyond `used` entries.
template <class V>
void clear_keeping_room(std::vector<V>& v, std::size_t used) noexcept {
    constexpr std::size_t kFactor = 4;
    constexpr std::size_t kAlwaysKept = 1024;
    if (v.capacity() > kFactor * std::max(used, kAlwaysKept)) {
        std::vector<V>().swap(v);
    } else {
        v.clear();
    }
}

}  // namespace detail

template <class Id, class W>
class EdgeDiff;

// In an operation: check the record as the operation ends (see
// AfterOperation); nothing at all without TARNU_CHECK_INVARIANTS.
#ifdef TARNU_CHECK_INVARIANTS
#define TARNU_CHECK_AFTER(...) const AfterOperation checked_after_operation(__VA_ARGS__)
#else
#define TARNU_CHECK_AFTER(...) static_cast<void>(0)
#endif

// The net pending change to a directed weighted graph: node updates, node
// deletions, edge additions or re-weightings, and edge deletions, combined as
// they arrive so that the record always holds only the net change.
//
// Shape. `nodes` maps id to the latest update, held in `Store` (see
// NodeUpdateStore: packed records and one text buffer, taking and handing out
// updates as `Store::View`); `deleted_nodes` is a set of
// ids; `edges` is an EdgeDiff with `new_or_updated` (source -> target ->
// weight) and `deleted` (source -> set of targets). Every id is interned once
// (see IdPool); each of the four collections is a dense list of interned
// indices, and each interned id records its position in each list, so
// membership tests and removals are O(1) and iteration walks only the live
// entries. Iteration order is the lists' own: it depends only on the
// sequence of operations, never on addresses or a seed, so one sequence gives
// one order on every run. Nobody may rely on any particular order.
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
//  11. the node store's JSON length total is the sum over its updates.
// check_invariants() checks 1 to 4 and 6 to 11; 5 speaks of history, which
// the record does not keep (a decoded record may hold empty target maps
// too). With TARNU_CHECK_INVARIANTS (see invariant_checks.hpp) every
// operation checks the record as it returns.
//
// Running out of memory. Every operation may throw std::bad_alloc, and then
// leaves the four collections and both counts exactly as they were: each
// operation first makes every allocation its change can need (interning ids,
// growing lists and inner tables), then makes the change without allocating.
// What a failed call may leave behind is invisible: newly interned ids with
// empty entries and grown capacities.
//   set_node_update  unchanged (a compaction of the node texts may have
//                    moved them, which no reader can see)
//   delete_node      unchanged
//   add_edge         unchanged
//   delete_edge      unchanged
//   clear            never throws
//   merge            the effect of the first `done` items of its replay
//                    (see merge): each item is one of the operations above
template <class Id, class Store, class W>
class GraphDiff {
    static_assert(std::is_trivially_copyable_v<Id>, "ids are stored and compared as plain bytes");
    using State = detail::IdState<Id, W>;
    using Pool = detail::IdPool<State, Id>;
    static constexpr std::uint32_t kNone = detail::kNoIndex;

    using DeletedEntry = detail::DeletedSource;
    // An id with its hash and, when a lookup already found it, its index
    // (kNone: not known yet). Indices stay valid until clear().
    struct Ref {
        const Id* id;
        std::uint64_t hash;
        std::uint32_t index;
    };

public:
    using UpdateView = typename Store::View;

    GraphDiff() = default;
    GraphDiff(const GraphDiff&) = delete;
    GraphDiff& operator=(const GraphDiff&) = delete;
    // A moved-from record is empty. Records are moved only into a new place
    // (a new instance takes over a decoded or cloned record), never assigned.
    GraphDiff(GraphDiff&& other) noexcept
        : blocks_(std::move(other.blocks_)),
          ids_(std::move(other.ids_)),
          nodes_(std::move(other.nodes_)),
          deleted_nodes_(std::move(other.deleted_nodes_)),
          sources_(std::move(other.sources_)),
          pending_targets_(std::exchange(other.pending_targets_, 0)),
          deleted_(std::move(other.deleted_)),
          deleted_targets_(std::exchange(other.deleted_targets_, 0)) {
        other.clear();
    }
    GraphDiff& operator=(GraphDiff&&) = delete;
    ~GraphDiff() { discard_tables(); }

    // Records update as the node's whole new state (an earlier update is
    // replaced, not merged) and revives the node if it was marked deleted.
    // Pending edge deletions recorded for the node stay. The update's texts
    // are copied; the view need only be valid for the call.
    void set_node_update(const Id& id, const UpdateView& update) {
        set_node_update(Ref{&id, hash_id(id), kNone}, update);
    }
    void set_node_update(const Ref& id, const UpdateView& update) {
        TARNU_CHECK_AFTER(*this, "set_node_update", id.id);
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.node_pos != kNone) {
            nodes_.assign(s.node_pos, update);
        } else {
            nodes_.push_back(x, update);
            s.node_pos = static_cast<std::uint32_t>(nodes_.size() - 1);
        }
        if (s.deleted_node_pos != kNone) remove_deleted_node(x);
    }

    // Marks the node deleted: drops its update and its pending outgoing edges
    // (a self-loop included, never recorded as a deletion) and turns each
    // pending edge into it into an edge deletion. A source whose last target
    // this removes keeps its (empty) entry. Costs in proportion to the node's
    // own pending edges, not to the size of the diff.
    void delete_node(const Id& id) { delete_node(Ref{&id, hash_id(id), kNone}); }
    void delete_node(const Ref& id) {
        TARNU_CHECK_AFTER(*this, "delete_node", id.id);
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.deleted_node_pos == kNone) detail::reserve_for(deleted_nodes_, 1);
        std::size_t new_deleted_sources = 0;
        s.incoming.for_each([&](std::uint32_t source) {
            if (source == x) return;  // the self-loop goes with the outgoing edges
            const State& src = ids_[source];
            src.targets.prefetch();  // erased from below; the loads overlap
            if (src.deleted_source_pos == kNone)
                ++new_deleted_sources;
            else
                deleted_[src.deleted_source_pos].targets.reserve_one(blocks_);
        });
        detail::reserve_for(deleted_, new_deleted_sources);

        // Nothing below allocates.
        if (s.node_pos != kNone) remove_node(x);
        if (s.source_pos != kNone) {
            s.targets.for_each([&](std::uint32_t target, const W&) { ids_[target].incoming.erase(x); });
            remove_source(x);
        }
        s.incoming.for_each([&](std::uint32_t source) {
            if (ids_[source].targets.erase(x)) --pending_targets_;
            if (deleted_targets_of(source).insert(x)) ++deleted_targets_;
        });
        s.incoming.release(blocks_);
        if (s.deleted_node_pos == kNone) {
            assert(deleted_nodes_.size() < deleted_nodes_.capacity());
            deleted_nodes_.push_back(x);
            s.deleted_node_pos = static_cast<std::uint32_t>(deleted_nodes_.size() - 1);
        }
    }

    // Records the edge from `from` to `to` with weight (replacing a pending
    // weight) and cancels a pending deletion of it. Refused, with the record
    // unchanged, while either endpoint is marked deleted.
    [[nodiscard]] std::optional<DiffError> add_edge(const Id& from, const Id& to, W weight) {
        return add_edge(Ref{&from, hash_id(from), kNone}, Ref{&to, hash_id(to), kNone}, weight);
    }
    [[nodiscard]] std::optional<DiffError> add_edge(const Ref& from, const Ref& to, W weight) {
        TARNU_CHECK_AFTER(*this, "add_edge", from.id, to.id);
        std::uint32_t f = find(from);
        std::uint32_t t = find(to);
        if ((f != kNone && ids_[f].deleted_node_pos != kNone) || (t != kNone && ids_[t].deleted_node_pos != kNone))
            return DiffError{kDeletedEndpointMessage};
        if (f == kNone) f = ids_.add(*from.id, from.hash);
        if (t == kNone) t = *from.id == *to.id ? f : ids_.add(*to.id, to.hash);
        State& fs = ids_[f];
        State& ts = ids_[t];
        if (fs.source_pos == kNone) detail::reserve_for(sources_, 1);
        fs.targets.reserve_one(blocks_);
        ts.incoming.reserve_one(blocks_);

        // Nothing below allocates.
        if (fs.deleted_source_pos != kNone) {
            auto& cancelled = deleted_[fs.deleted_source_pos].targets;
            if (cancelled.erase(t)) {
                --deleted_targets_;
                if (cancelled.empty()) remove_deleted_source(f);
            }
        }
        if (fs.source_pos == kNone) add_source(f);
        if (fs.targets.insert_or_assign(t, weight)) {
            ts.incoming.insert_absent(f);  // t's sources hold f exactly when f's targets hold t
            ++pending_targets_;
        }
        return std::nullopt;
    }

    // Records the deletion of the edge from `from` to `to`, whether or not it
    // was pending, and cancels a pending addition of it. A source whose target
    // map is empty afterwards loses its entry in new_or_updated, even when its
    // map was already empty and `to` was never a target.
    void delete_edge(const Id& from, const Id& to) {
        delete_edge(Ref{&from, hash_id(from), kNone}, Ref{&to, hash_id(to), kNone});
    }
    void delete_edge(const Ref& from, const Ref& to) {
        TARNU_CHECK_AFTER(*this, "delete_edge", from.id, to.id);
        const std::uint32_t f = intern(from);
        const std::uint32_t t = intern(to);
        State& fs = ids_[f];
        if (fs.deleted_source_pos == kNone)
            detail::reserve_for(deleted_, 1);
        else
            deleted_[fs.deleted_source_pos].targets.reserve_one(blocks_);

        // Nothing below allocates.
        if (deleted_targets_of(f).insert(t)) ++deleted_targets_;
        if (fs.source_pos != kNone) {
            if (fs.targets.erase(t)) {
                ids_[t].incoming.erase(f);
                --pending_targets_;
            }
            if (fs.targets.empty()) remove_source(f);
        }
    }

    // Back to the empty record. Every update and inner table is released, and
    // the node store gives back all its storage. The other outer tables keep
    // their capacity for a next fill like the one just cleared, the usual
    // cycle of fill, encode and clear; capacity far beyond what the record
    // held at this point is given back (the room of an earlier, larger batch,
    // or of ids that nothing names any more), so a reused diff costs what
    // its current batch costs.
    void clear() noexcept {
        TARNU_CHECK_AFTER(*this, "clear");
        // Ids the contents name, counted with repeats: an upper bound on the
        // ids a similar fill interns.
        const std::size_t named = nodes_.size() + deleted_nodes_.size() + sources_.size() + pending_targets_ +
                                  deleted_.size() + deleted_targets_;
        const auto expected = static_cast<std::uint32_t>(std::min<std::size_t>(named, ids_.size()));
        discard_tables();
        blocks_.reset();
        nodes_.clear();
        detail::clear_keeping_room(deleted_nodes_, deleted_nodes_.size());
        detail::clear_keeping_room(sources_, sources_.size());
        detail::clear_keeping_room(deleted_, deleted_.size());
        ids_.clear(expected);
        pending_targets_ = 0;
        deleted_targets_ = 0;
    }

    // The longest probe in the id table; see IdPool::longest_probe.
    std::uint32_t longest_id_probe() const noexcept { return ids_.longest_probe(); }

    // Batches. Each has exactly the effect of its single-item operation run
    // on items 0 to n-1 in order: item i is read through the accessors
    // (source(i), target(i), weight(i), id(i), update(i)). `done` counts the
    // items applied so far. Out of memory, std::bad_alloc leaves the record
    // holding exactly the effect of the first `done` items: every item is one
    // single-item operation, which changes nothing when it throws.
    // `before_item(i)` runs before item i is applied (a test's failure point).
    //
    // Only the reads run ahead: while item i is applied, the ids of later
    // items are hashed and their slots, cells and inner tables fetched, so
    // that the cache misses of consecutive items overlap instead of waiting
    // in line. An earlier item that interns an id is seen by a later one as
    // usual, since every item does its own lookups when its turn comes.
    template <class Sources, class Targets, class Weights, class BeforeItem>
    void add_edges(std::size_t n, const Sources& source, const Targets& target, const Weights& weight,
                   std::size_t& done, const BeforeItem& before_item) {
        run_batch<2>(
            n, [&](std::size_t i) { return std::array<Id, 2>{source(i), target(i)}; },
            [&](std::size_t endpoint, const State& s) {
                if (endpoint == 0)
                    s.targets.prefetch();
                else
                    s.incoming.prefetch();
            },
            [&](std::size_t i, const std::array<Ref, 2>& ends) {
                before_item(i);
                (void)add_edge(ends[0], ends[1], weight(i));  // a refused edge leaves no trace
            },
            done);
    }

    template <class Sources, class Targets, class BeforeItem>
    void delete_edges(std::size_t n, const Sources& source, const Targets& target, std::size_t& done,
                      const BeforeItem& before_item) {
        run_batch<2>(
            n, [&](std::size_t i) { return std::array<Id, 2>{source(i), target(i)}; },
            [&](std::size_t endpoint, const State& s) {
                if (endpoint == 0) s.targets.prefetch();
            },
            [&](std::size_t i, const std::array<Ref, 2>& ends) {
                before_item(i);
                delete_edge(ends[0], ends[1]);
            },
            done);
    }

    template <class Ids, class BeforeItem>
    void delete_nodes(std::size_t n, const Ids& id, std::size_t& done, const BeforeItem& before_item) {
        run_batch<1>(
            n, [&](std::size_t i) { return std::array<Id, 1>{id(i)}; },
            [&](std::size_t, const State& s) {
                s.incoming.prefetch();
                s.targets.prefetch();
            },
            [&](std::size_t i, const std::array<Ref, 1>& node) {
                before_item(i);
                delete_node(node[0]);
            },
            done);
    }

    // update(i) gives item i's update (anything that converts to UpdateView);
    // the record copies its texts, as set_node_update does.
    template <class Ids, class Updates, class BeforeItem>
    void set_node_updates(std::size_t n, const Ids& id, const Updates& update, std::size_t& done,
                          const BeforeItem& before_item) {
        run_batch<1>(
            n, [&](std::size_t i) { return std::array<Id, 1>{id(i)}; }, [](std::size_t, const State&) {},
            [&](std::size_t i, const std::array<Ref, 1>& node) {
                before_item(i);
                set_node_update(node[0], update(i));
            },
            done);
    }

    // Records other's content on this record, exactly as these single-item
    // operations would: delete_node for each of other's deleted nodes, then
    // set_node_update for each of its updates, then delete_edge for each of
    // its deleted edges, then add_edge for each of its pending edges (the
    // refused ones leave no trace), each list in other's walk order, which
    // is its encoding order. A source that other keeps with no targets adds
    // nothing. other is only read; merging a record into itself changes
    // nothing. `done` and `before_item(i)` count and precede the items as in
    // the batches above, in that order over the four lists, and out of
    // memory the record holds exactly the effect of the first `done` items.
    template <class BeforeItem>
    void merge(const GraphDiff& other, std::size_t& done, const BeforeItem& before_item) {
        if (&other == this) return;
        if (nodes_.size() == 0 && deleted_nodes_.empty() && sources_.empty() && deleted_.empty()) {
            // Into a record without content (the first of many merges), the
            // replay would append other's lists in their order and refuse
            // nothing: other's pending edges have no deleted endpoint and no
            // pending deletion. What differs is only the sources other keeps
            // without targets, which add nothing. A clone gets the same
            // record without looking up one id per item; out of memory,
            // nothing has changed and `done` stays 0.
            const Counts theirs = other.counts();
            GraphDiff copy = other.clone();
            copy.drop_sources_without_targets();
            std::destroy_at(this);
            std::construct_at(this, std::move(copy));
            done = theirs.node_updates + theirs.deleted_nodes + theirs.edge_updates + theirs.deleted_edges;
            return;
        }
        // Other's interned index -> ours, filled as ids first come up, so
        // that each of other's ids is hashed and looked up once, not once per
        // edge that names it. Interning ahead of a refused add_edge leaves
        // only an unnamed id, which no reader sees.
        std::vector<std::uint32_t> ours(other.ids_.size(), kNone);
        const auto ref = [&](std::uint32_t theirs) {
            const Id& id = other.ids_.id(theirs);
            std::uint32_t& x = ours[theirs];
            if (x == kNone) x = ids_.intern(id, hash_id(id));
            return Ref{&id, 0, x};  // the hash is not read once the index is known
        };
        for (const std::uint32_t node : other.deleted_nodes_) {
            before_item(done);
            delete_node(ref(node));
            ++done;
        }
        for (std::size_t i = 0, n = other.nodes_.size(); i < n; ++i) {
            before_item(done);
            set_node_update(ref(other.nodes_.id(i)), other.nodes_.view(i));
            ++done;
        }
        for (const DeletedEntry& e : other.deleted_) {
            const Ref source = ref(e.source_index);
            e.targets.for_each([&](std::uint32_t target) {
                before_item(done);
                delete_edge(source, ref(target));
                ++done;
            });
        }
        for (const std::uint32_t s : other.sources_) {
            const Ref source = ref(s);
            other.ids_[s].targets.for_each([&](std::uint32_t target, const W& weight) {
                before_item(done);
                (void)add_edge(source, ref(target), weight);
                ++done;
            });
        }
    }

    // An independent record with the same contents: the same interned
    // indices, list positions and table rows throughout, so it encodes to
    // the same bytes as this one, and keeps doing so while both undergo the
    // same further operations. Throws std::bad_alloc; the partial copy is
    // then dropped.
    GraphDiff clone() const {
        GraphDiff copy;
        // Positions first, tables after: the copy's destructor can drop a
        // half-made copy, since every table in it is whole or empty.
        copy.ids_ = ids_.clone([](const State& s) {
            State c;
            c.node_pos = s.node_pos;
            c.deleted_node_pos = s.deleted_node_pos;
            c.source_pos = s.source_pos;
            c.deleted_source_pos = s.deleted_source_pos;
            return c;
        });
        constexpr std::uint32_t kAhead = 8;
        for (std::uint32_t i = 0; i < ids_.size(); ++i) {
            if (i + kAhead < ids_.size()) {
                ids_[i + kAhead].targets.prefetch();
                ids_[i + kAhead].incoming.prefetch();
            }
            copy.ids_[i].targets = ids_[i].targets.clone(copy.blocks_);
            copy.ids_[i].incoming = ids_[i].incoming.clone(copy.blocks_);
        }
        copy.nodes_ = nodes_.clone();
        copy.deleted_nodes_ = deleted_nodes_;
        copy.sources_ = sources_;
        copy.pending_targets_ = pending_targets_;
        copy.deleted_targets_ = deleted_targets_;
        copy.deleted_.reserve(deleted_.size());
        for (const DeletedEntry& e : deleted_) {
            copy.deleted_.push_back(DeletedEntry{e.source_index, {}});
            copy.deleted_.back().targets = e.targets.clone(copy.blocks_);
        }
        TARNU_CHECK_AFTER(copy, "clone");
        return copy;
    }

    // --- Rebuilding a record from a walk of another ------------------------
    //
    // The encoder walks the four lists and every inner table in order, and
    // every list and table keeps the order in which entries were appended
    // (until something is removed). Appending the entries of a walk in the
    // walk's order therefore rebuilds a record that walks, and encodes, the
    // same way. The calls below do that, one entry each, into a record that
    // was empty, the sections in encoding order: nodes, deleted nodes, then
    // pending edges, then deleted edges. Each appends its entry at the end,
    // or refuses it, with nothing changed, when it would repeat an entry or
    // break an invariant; a source's targets follow the source they belong
    // to (its handle). All throw std::bad_alloc only.
    enum class Refusal {
        repeated,             // the id or pair is already in this list or group
        updated_and_deleted,  // a deleted node that has an update
        deleted_endpoint,     // an edge to or from a deleted node
        added_and_deleted,    // a deleted edge that is also pending
    };
    using Restored = std::optional<Refusal>;  // nullopt when appended

    // Room for the given numbers of entries in the four lists.
    void reserve_restore(std::size_t nodes, std::size_t deleted_nodes, std::size_t sources,
                         std::size_t deleted_sources) {
        nodes_.reserve(nodes);
        deleted_nodes_.reserve(deleted_nodes);
        sources_.reserve(sources);
        deleted_.reserve(deleted_sources);
    }

    Restored restore_node(const Id& id, const UpdateView& update) {
        const std::uint32_t x = intern(id);
        if (ids_[x].node_pos != kNone) return Refusal::repeated;
        nodes_.push_back(x, update);
        ids_[x].node_pos = static_cast<std::uint32_t>(nodes_.size() - 1);
        return std::nullopt;
    }

    Restored restore_deleted_node(const Id& id) {
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.deleted_node_pos != kNone) return Refusal::repeated;
        if (s.node_pos != kNone) return Refusal::updated_and_deleted;
        detail::reserve_for(deleted_nodes_, 1);
        deleted_nodes_.push_back(x);
        s.deleted_node_pos = static_cast<std::uint32_t>(deleted_nodes_.size() - 1);
        return std::nullopt;
    }

    // A source of new_or_updated with room for `targets` targets, which
    // follow through restore_target(*handle, ...).
    Restored restore_source(const Id& id, std::uint32_t targets, std::uint32_t* handle) {
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.deleted_node_pos != kNone) return Refusal::deleted_endpoint;
        if (s.source_pos != kNone) return Refusal::repeated;
        detail::reserve_for(sources_, 1);
        s.targets.reserve(targets, blocks_);
        add_source(x);
        *handle = x;
        return std::nullopt;
    }

    // Whether the source restored under `handle` (restore_source's) has
    // deleted edges too. Operations leave a source with no pending targets
    // only when delete_node turned its last one into a deleted edge, so an
    // encoding may hold an empty group of pending edges only for such a
    // source.
    bool restored_source_has_deleted_edges(std::uint32_t handle) const noexcept {
        return ids_[handle].deleted_source_pos != kNone;
    }

    // Hashes a group of target ids into `hashes` for restore_target, and
    // asks for the memory that restoring edges to them will touch, so that
    // the misses of the group overlap instead of queueing.
    void prefetch_targets(const Id* targets, std::size_t count, std::uint64_t* hashes) const noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            hashes[i] = hash_id(targets[i]);
            ids_.prefetch_slot(hashes[i]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t x = ids_.find(targets[i], hashes[i]);
            if (x != kNone) ids_[x].incoming.prefetch();
        }
    }

    // `hash` is hash_id(to).
    Restored restore_target(std::uint32_t source, const Id& to, std::uint64_t hash, W weight) {
        assert(source < ids_.size() && ids_[source].source_pos != kNone && "a handle from restore_source");
        const std::uint32_t t = ids_.intern(to, hash);
        State& ts = ids_[t];
        if (ts.deleted_node_pos != kNone) return Refusal::deleted_endpoint;
        State& fs = ids_[source];
        fs.targets.reserve_one(blocks_);
        ts.incoming.reserve_one(blocks_);
        if (!fs.targets.insert_new(t, &weight)) return Refusal::repeated;
        ts.incoming.insert_absent(source);
        ++pending_targets_;
        return std::nullopt;
    }

    // A source of deleted with room for `targets` targets (at least one,
    // since no set in deleted is empty), which follow through
    // restore_deleted_target(*handle, ...).
    Restored restore_deleted_source(const Id& id, std::uint32_t targets, std::uint32_t* handle) {
        const std::uint32_t x = intern(id);
        if (ids_[x].deleted_source_pos != kNone) return Refusal::repeated;
        detail::reserve_for(deleted_, 1);
        detail::InnerTable<void> set;
        set.reserve(targets, blocks_);
        deleted_.push_back(DeletedEntry{x, std::move(set)});
        ids_[x].deleted_source_pos = static_cast<std::uint32_t>(deleted_.size() - 1);
        *handle = ids_[x].deleted_source_pos;
        return std::nullopt;
    }

    Restored restore_deleted_target(std::uint32_t handle, const Id& to) {
        assert(handle < deleted_.size() && "a handle from restore_deleted_source");
        const std::uint32_t t = intern(to);
        DeletedEntry& e = deleted_[handle];
        const State& s = ids_[e.source_index];
        if (s.source_pos != kNone && s.targets.contains(t)) return Refusal::added_and_deleted;
        e.targets.reserve_one(blocks_);
        if (!e.targets.insert(t)) return Refusal::repeated;
        ++deleted_targets_;
        return std::nullopt;
    }

    // The first broken invariant (see the list above), described with the
    // interned index it concerns, or an empty string when all hold. Reads
    // the whole record, O(its size and capacity); allocates only to describe
    // a flaw. Defined in graph_diff_checks.hpp and instantiated apart from
    // the operations, whose release code is thus the same as without it.
    std::string check_invariants() const;

    std::size_t num_nodes() const noexcept { return nodes_.size() + deleted_nodes_.size(); }
    // Ids interned since the last clear: a bound on every interned index.
    std::size_t id_count() const noexcept { return ids_.size(); }
    std::size_t num_edges() const noexcept { return sources_.size() + deleted_.size(); }

    // The sizes of the four sections of the encoding, edges counted as
    // (source, target) pairs.
    struct Counts {
        std::size_t node_updates;
        std::size_t deleted_nodes;
        std::size_t edge_updates;
        std::size_t deleted_edges;
    };
    Counts counts() const noexcept { return {nodes_.size(), deleted_nodes_.size(), pending_targets_, deleted_targets_}; }

    // Bytes held by every table of the record, the id pool, the reverse
    // index and the node store (texts included). The inner tables count as
    // the slabs they live in, free room included.
    std::size_t memory_bytes() const noexcept {
        return blocks_.memory_bytes() + ids_.memory_bytes() + nodes_.memory_bytes() +
               deleted_nodes_.capacity() * sizeof(std::uint32_t) + sources_.capacity() * sizeof(std::uint32_t) +
               deleted_.capacity() * sizeof(DeletedEntry);
    }

    // Read access. Views are small values, valid while the record is unchanged.

    class NodesView {
    public:
        std::size_t size() const noexcept { return diff_->nodes_.size(); }
        // Total length of the updates' JSON texts, kept as the record changes.
        std::uint64_t json_bytes() const noexcept { return diff_->nodes_.json_bytes(); }
        // f(const Id&, const UpdateView&)
        template <class F>
        void for_each(F&& f) const {
            const Store& store = diff_->nodes_;
            for (std::size_t i = 0, n = store.size(); i < n; ++i) f(diff_->ids_.id(store.id(i)), store.view(i));
        }
        // f(const Id&, const UpdateView&, std::size_t json_length,
        //   std::string_view size_text): what the encoder needs, all kept by
        // the store.
        template <class F>
        void for_each_encoded(F&& f) const {
            const Store& store = diff_->nodes_;
            for (std::size_t i = 0, n = store.size(); i < n; ++i)
                f(diff_->ids_.id(store.id(i)), store.view(i), store.json_length(i), store.size_text(i));
        }
        std::optional<UpdateView> find(const Id& id) const noexcept {
            const std::uint32_t x = diff_->ids_.find(id, hash_id(id));
            if (x == kNone || diff_->ids_[x].node_pos == kNone) return std::nullopt;
            return diff_->nodes_.view(diff_->ids_[x].node_pos);
        }

    private:
        friend class GraphDiff;
        explicit NodesView(const GraphDiff* diff) : diff_(diff) {}
        const GraphDiff* diff_;
    };

    class DeletedNodesView {
    public:
        std::size_t size() const noexcept { return diff_->deleted_nodes_.size(); }
        // f(const Id&)
        template <class F>
        void for_each(F&& f) const {
            for (std::uint32_t x : diff_->deleted_nodes_) f(diff_->ids_.id(x));
        }
        bool contains(const Id& id) const noexcept {
            const std::uint32_t x = diff_->ids_.find(id, hash_id(id));
            return x != kNone && diff_->ids_[x].deleted_node_pos != kNone;
        }

    private:
        friend class GraphDiff;
        explicit DeletedNodesView(const GraphDiff* diff) : diff_(diff) {}
        const GraphDiff* diff_;
    };

    NodesView nodes() const noexcept { return NodesView(this); }
    DeletedNodesView deleted_nodes() const noexcept { return DeletedNodesView(this); }
    EdgeDiff<Id, W> edges() const noexcept {
        return EdgeDiff<Id, W>(ids_, sources_, pending_targets_, deleted_, deleted_targets_);
    }

private:
    friend class EdgeDiff<Id, W>;
    friend struct testing::DiffTamper;

    std::uint32_t intern(const Id& id) { return ids_.intern(id, hash_id(id)); }

    std::uint32_t find(const Ref& r) const noexcept { return r.index != kNone ? r.index : ids_.find(*r.id, r.hash); }
    std::uint32_t intern(const Ref& r) { return r.index != kNone ? r.index : ids_.intern(*r.id, r.hash); }

    // The invariants that concern id x: its positions, its tables and, for
    // tables of at most walk_limit slots, their entries against the tables
    // and positions of the ids they name.
    std::string check_id(std::uint32_t x, std::uint32_t walk_limit) const;

#ifdef TARNU_CHECK_INVARIANTS
    // The check after every operation, kept affordable: the whole record
    // while it is small (up to kFullCheckUpTo ids and edges) and at every
    // power-of-two count of checks, which costs O(1) per operation
    // amortized; in between, the ids the operation named, with walks of
    // their tables up to kLocalWalk slots.
    static constexpr std::size_t kFullCheckUpTo = 128;
    static constexpr std::uint32_t kLocalWalk = 32;

    class AfterOperation {
    public:
        AfterOperation(GraphDiff& diff, std::string_view operation, const Id* a = nullptr,
                       const Id* b = nullptr) noexcept
            : diff_(diff), operation_(operation), a_(a), b_(b) {}
        AfterOperation(const AfterOperation&) = delete;
        AfterOperation& operator=(const AfterOperation&) = delete;
        ~AfterOperation() { diff_.check_after(operation_, a_, b_); }

    private:
        GraphDiff& diff_;
        std::string_view operation_;
        const Id* a_;
        const Id* b_;
    };

    void check_after(std::string_view operation, const Id* a, const Id* b) noexcept {
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

    std::uint64_t checks_done_ = 0;
#endif

    // The pipeline of the batches: item i+kHashAhead has its K ids read and
    // hashed and their probe slots fetched; item i+kCellAhead has the cells
    // its slots point to fetched (slots only are read); item i+kTableAhead is
    // looked up, its cells being in cache by then, and has warm(endpoint,
    // entry) ask for the inner tables it will use; item i is applied with
    // the hashes and the indices found. An id not found ahead is looked up
    // again when its item is applied: an item before it may have interned it.
    static constexpr std::size_t kHashAhead = 16;
    static constexpr std::size_t kCellAhead = 10;
    static constexpr std::size_t kTableAhead = 5;
    static constexpr std::size_t kRing = 32;  // > kHashAhead, a power of two
    // Below this many interned ids the cells and slots stay in cache, and
    // reading ahead costs more instructions than it saves waiting; the
    // choice is made per chunk of items, as the pool grows.
    static constexpr std::uint32_t kReadAheadFrom = 8192;
    static constexpr std::size_t kChunk = 1024;

    template <std::size_t K, class IdsOf, class Warm, class Apply>
    void run_batch(std::size_t n, IdsOf ids_of, Warm warm, Apply apply, std::size_t& done) {
        struct Ahead {
            std::array<Id, K> ids;
            std::array<Ref, K> refs;  // into ids
        };
        std::array<Ahead, kRing> ring;
        const auto hash_ahead = [&](std::size_t j) {
            Ahead& a = ring[j % kRing];
            a.ids = ids_of(j);
            for (std::size_t k = 0; k < K; ++k) {
                a.refs[k] = Ref{&a.ids[k], hash_id(a.ids[k]), kNone};
                ids_.prefetch_slot(a.refs[k].hash);
            }
        };
        const auto find_ahead = [&](std::size_t j) {
            const Ahead& a = ring[j % kRing];
            for (std::size_t k = 0; k < K; ++k) ids_.prefetch_match(a.refs[k].hash);
        };
        const auto warm_ahead = [&](std::size_t j) {
            Ahead& a = ring[j % kRing];
            for (std::size_t k = 0; k < K; ++k) {
                a.refs[k].index = ids_.find(a.ids[k], a.refs[k].hash);
                if (a.refs[k].index != kNone) warm(k, ids_[a.refs[k].index]);
            }
        };
        for (std::size_t begin = 0; begin < n; begin += kChunk) {
            const std::size_t end = std::min(n, begin + kChunk);
            if (ids_.size() < kReadAheadFrom) {
                for (std::size_t i = begin; i < end; ++i) {
                    Ahead& a = ring[0];
                    a.ids = ids_of(i);
                    for (std::size_t k = 0; k < K; ++k) a.refs[k] = Ref{&a.ids[k], hash_id(a.ids[k]), kNone};
                    apply(i, a.refs);
                    done = i + 1;
                }
                continue;
            }
            // Fill the pipeline as if the items before `begin` had been read ahead.
            for (std::size_t j = begin; j < std::min(end, begin + kHashAhead); ++j) hash_ahead(j);
            for (std::size_t j = begin; j < std::min(end, begin + kCellAhead); ++j) find_ahead(j);
            for (std::size_t j = begin; j < std::min(end, begin + kTableAhead); ++j) warm_ahead(j);
            for (std::size_t i = begin; i < end; ++i) {
                if (i + kHashAhead < end) hash_ahead(i + kHashAhead);
                if (i + kCellAhead < end) find_ahead(i + kCellAhead);
                if (i + kTableAhead < end) warm_ahead(i + kTableAhead);
                apply(i, ring[i % kRing].refs);
                done = i + 1;
            }
        }
    }

    // Removals from the dense lists move the last element into the hole and
    // repoint its id's position.

    void remove_node(std::uint32_t x) noexcept {
        const std::uint32_t pos = ids_[x].node_pos;
        assert(pos != kNone);
        nodes_.remove(pos);
        if (pos < nodes_.size()) ids_[nodes_.id(pos)].node_pos = pos;
        ids_[x].node_pos = kNone;
    }

    void remove_deleted_node(std::uint32_t x) noexcept {
        const std::uint32_t pos = ids_[x].deleted_node_pos;
        assert(pos != kNone);
        deleted_nodes_[pos] = deleted_nodes_.back();
        ids_[deleted_nodes_[pos]].deleted_node_pos = pos;
        deleted_nodes_.pop_back();
        ids_[x].deleted_node_pos = kNone;
    }

    // Needs room in sources_.
    void add_source(std::uint32_t x) noexcept {
        assert(ids_[x].source_pos == kNone && sources_.size() < sources_.capacity());
        sources_.push_back(x);
        ids_[x].source_pos = static_cast<std::uint32_t>(sources_.size() - 1);
    }

    void remove_source(std::uint32_t x) noexcept {
        State& s = ids_[x];
        assert(s.source_pos != kNone);
        pending_targets_ -= s.targets.size();
        s.targets.release(blocks_);
        sources_[s.source_pos] = sources_.back();
        ids_[sources_[s.source_pos]].source_pos = s.source_pos;
        sources_.pop_back();
        s.source_pos = kNone;
    }

    // The deleted-target set of source x, created empty if missing. Needs
    // room in deleted_ when x has no set yet; a new set takes its first
    // entries inline, so inserting one target cannot allocate.
    detail::InnerTable<void>& deleted_targets_of(std::uint32_t x) noexcept {
        State& s = ids_[x];
        if (s.deleted_source_pos == kNone) {
            assert(deleted_.size() < deleted_.capacity());
            deleted_.push_back(DeletedEntry{x, {}});
            s.deleted_source_pos = static_cast<std::uint32_t>(deleted_.size() - 1);
        }
        return deleted_[s.deleted_source_pos].targets;
    }

    void remove_deleted_source(std::uint32_t x) noexcept {
        const std::uint32_t pos = ids_[x].deleted_source_pos;
        assert(pos != kNone);
        deleted_targets_ -= deleted_[pos].targets.size();
        deleted_[pos].targets.release(blocks_);
        if (pos + 1 != deleted_.size()) {
            deleted_[pos] = std::move(deleted_.back());
            ids_[deleted_[pos].source_index].deleted_source_pos = pos;
        }
        deleted_.pop_back();
        ids_[x].deleted_source_pos = kNone;
    }

    // Removes the sources whose target maps are empty, keeping the order of
    // the others.
    void drop_sources_without_targets() noexcept {
        std::size_t kept = 0;
        for (const std::uint32_t x : sources_) {
            State& s = ids_[x];
            if (s.targets.empty()) {
                s.targets.release(blocks_);
                s.source_pos = kNone;
            } else {
                s.source_pos = static_cast<std::uint32_t>(kept);
                sources_[kept++] = x;
            }
        }
        sources_.resize(kept);
    }

    // Drops every inner table ahead of a reset of blocks_ (or of its end).
    void discard_tables() noexcept {
        for (std::uint32_t i = 0; i < ids_.size(); ++i) {
            ids_[i].targets.discard(blocks_);
            ids_[i].incoming.discard(blocks_);
        }
        for (DeletedEntry& e : deleted_) e.targets.discard(blocks_);
    }

    detail::BlockPool blocks_;  // every inner table's block; declared first, so destroyed last
    Pool ids_;
    Store nodes_;
    std::vector<std::uint32_t> deleted_nodes_;
    std::vector<std::uint32_t> sources_;  // sources of new_or_updated; their maps live in ids_
    std::size_t pending_targets_ = 0;     // entries over all maps of new_or_updated
    std::vector<DeletedEntry> deleted_;
    std::size_t deleted_targets_ = 0;  // entries over all sets of deleted
};

// The edge changes of a GraphDiff, as a read view: `new_or_updated` maps a
// source to its targets and weights, `deleted` a source to the targets whose
// edges are to be deleted.
template <class Id, class W>
class EdgeDiff {
    using State = detail::IdState<Id, W>;
    using Pool = detail::IdPool<State, Id>;
    // How many sources ahead a walk asks for memory it will need.
    static constexpr std::size_t kAhead = 8;

public:
    class WeightedTargets {
    public:
        std::size_t size() const noexcept { return table_->size(); }
        // g(const Id& target, W weight)
        template <class G>
        void for_each(G&& g) const {
            table_->for_each([&](std::uint32_t t, const W& w) { g(ids_->id(t), w); });
        }
        // g(std::uint32_t index, const Id& target, W weight), where index is
        // the target's interned index (below the record's id_count()), the
        // same for every mention of one id: a reader can keep what it makes
        // of an id by it.
        template <class G>
        void for_each_indexed(G&& g) const {
            table_->for_each([&](std::uint32_t t, const W& w) { g(t, ids_->id(t), w); });
        }

    private:
        friend class EdgeDiff;
        WeightedTargets(const Pool* ids, const detail::InnerTable<W>* table) : ids_(ids), table_(table) {}
        const Pool* ids_;
        const detail::InnerTable<W>* table_;
    };

    class Targets {
    public:
        std::size_t size() const noexcept { return table_->size(); }
        // g(const Id& target)
        template <class G>
        void for_each(G&& g) const {
            table_->for_each([&](std::uint32_t t) { g(ids_->id(t)); });
        }

    private:
        friend class EdgeDiff;
        Targets(const Pool* ids, const detail::InnerTable<void>* table) : ids_(ids), table_(table) {}
        const Pool* ids_;
        const detail::InnerTable<void>* table_;
    };

    class NewOrUpdated {
    public:
        std::size_t size() const noexcept { return sources_->size(); }
        // Entries over all target maps, kept as the record changes.
        std::size_t num_targets() const noexcept { return *num_targets_; }
        // f(const Id& source, const WeightedTargets& targets)
        template <class F>
        void for_each(F&& f) const {
            // A walk over many sources would otherwise wait on memory twice
            // per source (its entry, then its target block), one source at a
            // time. Entries are requested two strides ahead and target blocks
            // one stride ahead, so those loads overlap.
            const std::uint32_t* const list = sources_->data();
            const std::size_t n = sources_->size();
            for (std::size_t i = 0; i < n; ++i) {
                if (i + 2 * kAhead < n) detail::prefetch(&(*ids_)[list[i + 2 * kAhead]]);
                if (i + kAhead < n) {
                    const std::uint32_t next = list[i + kAhead];
                    (*ids_)[next].targets.prefetch();
                    detail::prefetch(&ids_->id(next));
                }
                const std::uint32_t s = list[i];
                f(ids_->id(s), WeightedTargets(ids_, &(*ids_)[s].targets));
            }
        }

    private:
        friend class EdgeDiff;
        NewOrUpdated(const Pool* ids, const std::vector<std::uint32_t>* sources, const std::size_t* num_targets)
            : ids_(ids), sources_(sources), num_targets_(num_targets) {}
        const Pool* ids_;
        const std::vector<std::uint32_t>* sources_;
        const std::size_t* num_targets_;
    };

    class Deleted {
    public:
        std::size_t size() const noexcept { return entries_->size(); }
        // Entries over all target sets, kept as the record changes.
        std::size_t num_targets() const noexcept { return *num_targets_; }
        // f(const Id& source, const Targets& targets)
        template <class F>
        void for_each(F&& f) const {
            const detail::DeletedSource* const list = entries_->data();
            const std::size_t n = entries_->size();
            for (std::size_t i = 0; i < n; ++i) {
                if (i + kAhead < n) {
                    list[i + kAhead].targets.prefetch();
                    detail::prefetch(&ids_->id(list[i + kAhead].source_index));
                }
                f(ids_->id(list[i].source_index), Targets(ids_, &list[i].targets));
            }
        }

    private:
        friend class EdgeDiff;
        Deleted(const Pool* ids, const std::vector<detail::DeletedSource>* entries, const std::size_t* num_targets)
            : ids_(ids), entries_(entries), num_targets_(num_targets) {}
        const Pool* ids_;
        const std::vector<detail::DeletedSource>* entries_;
        const std::size_t* num_targets_;
    };

    NewOrUpdated new_or_updated() const noexcept { return NewOrUpdated(ids_, sources_, num_targets_); }
    Deleted deleted() const noexcept { return Deleted(ids_, deleted_, deleted_targets_); }

private:
    template <class, class, class>
    friend class GraphDiff;
    EdgeDiff(const Pool& ids, const std::vector<std::uint32_t>& sources, const std::size_t& num_targets,
             const std::vector<detail::DeletedSource>& deleted, const std::size_t& deleted_targets)
        : ids_(&ids),
          sources_(&sources),
          num_targets_(&num_targets),
          deleted_(&deleted),
          deleted_targets_(&deleted_targets) {}

    const Pool* ids_;
    const std::vector<std::uint32_t>* sources_;
    const std::size_t* num_targets_;
    const std::vector<detail::DeletedSource>* deleted_;
    const std::size_t* deleted_targets_;
};

#undef TARNU_CHECK_AFTER

}  // namespace tarnu
