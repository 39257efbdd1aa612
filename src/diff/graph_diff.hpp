#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/id_pool.hpp"
#include "diff/inner_table.hpp"

namespace tarnu {

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
    // Meaningful only while `source` is set; such a map may be empty.
    InnerTable<W> targets;
    // Sources whose target map holds this id: the reverse of `targets`, so
    // that deleting a node costs in proportion to its own pending edges.
    InnerTable<void> incoming;
    // Positions in the record's dense lists, kNoIndex when absent.
    std::uint32_t node = kNoIndex;            // in nodes
    std::uint32_t deleted_node = kNoIndex;    // in deleted_nodes
    std::uint32_t source = kNoIndex;          // among the sources of new_or_updated
    std::uint32_t deleted_source = kNoIndex;  // among the sources of deleted
};

// One source of `deleted` with the targets whose edges from it are to be deleted.
struct DeletedSource {
    std::uint32_t source;
    InnerTable<void> targets;
};

// Grows v geometrically so that `extra` more push_backs cannot allocate.
template <class V>
void reserve_for(std::vector<V>& v, std::size_t extra) {
    const std::size_t needed = v.size() + extra;
    if (needed > v.capacity()) v.reserve(std::max({needed, v.capacity() * 2, std::size_t{4}}));
}

}  // namespace detail

template <class Id, class W>
class EdgeDiff;

// The net pending change to a directed weighted graph: node updates, node
// deletions, edge additions or re-weightings, and edge deletions, combined as
// they arrive so that the record always holds only the net change.
//
// Shape. `nodes` maps id to the latest update; `deleted_nodes` is a set of
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
// Internally, moreover, t's `incoming` holds s exactly when s's target map
// holds t.
//
// Running out of memory. Every operation may throw std::bad_alloc, and then
// leaves the four collections and both counts exactly as they were: each
// operation first makes every allocation its change can need (interning ids,
// growing lists and inner tables), then makes the change without allocating.
// What a failed call may leave behind is invisible: newly interned ids with
// empty entries and grown capacities.
//   set_node_update  unchanged (the update passed in is lost)
//   delete_node      unchanged
//   add_edge         unchanged
//   delete_edge      unchanged
//   clear            never throws
template <class Id, class T, class W>
class GraphDiff {
    static_assert(std::is_trivially_copyable_v<Id>, "ids are stored and compared as plain bytes");
    using State = detail::IdState<Id, W>;
    using Pool = detail::IdPool<State, Id>;
    static constexpr std::uint32_t kNone = detail::kNoIndex;

    struct NodeEntry {
        std::uint32_t id;
        T update;
    };
    using DeletedEntry = detail::DeletedSource;

public:
    GraphDiff() = default;
    GraphDiff(const GraphDiff&) = delete;
    GraphDiff& operator=(const GraphDiff&) = delete;
    // A moved-from record is empty.
    GraphDiff(GraphDiff&& other) noexcept
        : blocks_(std::move(other.blocks_)),
          ids_(std::move(other.ids_)),
          nodes_(std::move(other.nodes_)),
          deleted_nodes_(std::move(other.deleted_nodes_)),
          sources_(std::move(other.sources_)),
          pending_targets_(std::exchange(other.pending_targets_, 0)),
          deleted_(std::move(other.deleted_)) {
        other.clear();
    }
    GraphDiff& operator=(GraphDiff&& other) noexcept {
        if (this != &other) {
            discard_tables();
            blocks_ = std::move(other.blocks_);
            ids_ = std::move(other.ids_);
            nodes_ = std::move(other.nodes_);
            deleted_nodes_ = std::move(other.deleted_nodes_);
            sources_ = std::move(other.sources_);
            pending_targets_ = std::exchange(other.pending_targets_, 0);
            deleted_ = std::move(other.deleted_);
            other.clear();
        }
        return *this;
    }
    ~GraphDiff() { discard_tables(); }

    // Records update as the node's whole new state (an earlier update is
    // replaced, not merged) and revives the node if it was marked deleted.
    // Pending edge deletions recorded for the node stay.
    void set_node_update(const Id& id, T update) {
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.node != kNone) {
            nodes_[s.node].update = std::move(update);
        } else {
            nodes_.push_back(NodeEntry{x, std::move(update)});
            s.node = static_cast<std::uint32_t>(nodes_.size() - 1);
        }
        if (s.deleted_node != kNone) remove_deleted_node(x);
    }

    // Marks the node deleted: drops its update and its pending outgoing edges
    // (a self-loop included, never recorded as a deletion) and turns each
    // pending edge into it into an edge deletion. A source whose last target
    // this removes keeps its (empty) entry. Costs in proportion to the node's
    // own pending edges, not to the size of the diff.
    void delete_node(const Id& id) {
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.deleted_node == kNone) detail::reserve_for(deleted_nodes_, 1);
        std::size_t new_deleted_sources = 0;
        s.incoming.for_each([&](std::uint32_t source) {
            if (source == x) return;  // the self-loop goes with the outgoing edges
            const State& src = ids_[source];
            src.targets.prefetch();  // erased from below; the loads overlap
            if (src.deleted_source == kNone)
                ++new_deleted_sources;
            else
                deleted_[src.deleted_source].targets.reserve_one(blocks_);
        });
        detail::reserve_for(deleted_, new_deleted_sources);

        // Nothing below allocates.
        if (s.node != kNone) remove_node(x);
        if (s.source != kNone) {
            s.targets.for_each([&](std::uint32_t target, const W&) { ids_[target].incoming.erase(x); });
            remove_source(x);
        }
        s.incoming.for_each([&](std::uint32_t source) {
            if (ids_[source].targets.erase(x)) --pending_targets_;
            deleted_targets_of(source).insert(x);
        });
        s.incoming.release(blocks_);
        if (s.deleted_node == kNone) {
            deleted_nodes_.push_back(x);
            s.deleted_node = static_cast<std::uint32_t>(deleted_nodes_.size() - 1);
        }
    }

    // Records the edge from `from` to `to` with weight (replacing a pending
    // weight) and cancels a pending deletion of it. Refused, with the record
    // unchanged, while either endpoint is marked deleted.
    [[nodiscard]] std::optional<DiffError> add_edge(const Id& from, const Id& to, W weight) {
        const std::uint64_t from_hash = hash_id(from);
        const std::uint64_t to_hash = hash_id(to);
        std::uint32_t f = ids_.find(from, from_hash);
        std::uint32_t t = ids_.find(to, to_hash);
        if ((f != kNone && ids_[f].deleted_node != kNone) || (t != kNone && ids_[t].deleted_node != kNone))
            return DiffError{kDeletedEndpointMessage};
        if (f == kNone) f = ids_.add(from, from_hash);
        if (t == kNone) t = from == to ? f : ids_.add(to, to_hash);
        State& fs = ids_[f];
        State& ts = ids_[t];
        if (fs.source == kNone) detail::reserve_for(sources_, 1);
        fs.targets.reserve_one(blocks_);
        ts.incoming.reserve_one(blocks_);

        // Nothing below allocates.
        if (fs.deleted_source != kNone) {
            auto& cancelled = deleted_[fs.deleted_source].targets;
            if (cancelled.erase(t) && cancelled.empty()) remove_deleted_source(f);
        }
        if (fs.source == kNone) add_source(f);
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
        const std::uint32_t f = intern(from);
        const std::uint32_t t = intern(to);
        State& fs = ids_[f];
        if (fs.deleted_source == kNone)
            detail::reserve_for(deleted_, 1);
        else
            deleted_[fs.deleted_source].targets.reserve_one(blocks_);

        // Nothing below allocates.
        deleted_targets_of(f).insert(t);
        if (fs.source != kNone) {
            if (fs.targets.erase(t)) {
                ids_[t].incoming.erase(f);
                --pending_targets_;
            }
            if (fs.targets.empty()) remove_source(f);
        }
    }

    // Back to the empty record. Every update and inner table is released;
    // the outer tables keep their capacity for the next fill.
    void clear() noexcept {
        discard_tables();
        blocks_.reset();
        nodes_.clear();
        deleted_nodes_.clear();
        sources_.clear();
        deleted_.clear();
        ids_.clear();
        pending_targets_ = 0;
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
            c.node = s.node;
            c.deleted_node = s.deleted_node;
            c.source = s.source;
            c.deleted_source = s.deleted_source;
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
        copy.nodes_ = nodes_;
        copy.deleted_nodes_ = deleted_nodes_;
        copy.sources_ = sources_;
        copy.pending_targets_ = pending_targets_;
        copy.deleted_.reserve(deleted_.size());
        for (const DeletedEntry& e : deleted_) {
            copy.deleted_.push_back(DeletedEntry{e.source, {}});
            copy.deleted_.back().targets = e.targets.clone(copy.blocks_);
        }
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

    Restored restore_node(const Id& id, T&& update) {
        const std::uint32_t x = intern(id);
        if (ids_[x].node != kNone) return Refusal::repeated;
        detail::reserve_for(nodes_, 1);
        nodes_.push_back(NodeEntry{x, std::move(update)});
        ids_[x].node = static_cast<std::uint32_t>(nodes_.size() - 1);
        return std::nullopt;
    }

    Restored restore_deleted_node(const Id& id) {
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.deleted_node != kNone) return Refusal::repeated;
        if (s.node != kNone) return Refusal::updated_and_deleted;
        detail::reserve_for(deleted_nodes_, 1);
        deleted_nodes_.push_back(x);
        s.deleted_node = static_cast<std::uint32_t>(deleted_nodes_.size() - 1);
        return std::nullopt;
    }

    // A source of new_or_updated with room for `targets` targets, which
    // follow through restore_target(*handle, ...).
    Restored restore_source(const Id& id, std::uint32_t targets, std::uint32_t* handle) {
        const std::uint32_t x = intern(id);
        State& s = ids_[x];
        if (s.deleted_node != kNone) return Refusal::deleted_endpoint;
        if (s.source != kNone) return Refusal::repeated;
        detail::reserve_for(sources_, 1);
        s.targets.reserve(targets, blocks_);
        add_source(x);
        *handle = x;
        return std::nullopt;
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
        const std::uint32_t t = ids_.intern(to, hash);
        State& ts = ids_[t];
        if (ts.deleted_node != kNone) return Refusal::deleted_endpoint;
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
        if (ids_[x].deleted_source != kNone) return Refusal::repeated;
        detail::InnerTable<void> set;
        set.reserve(targets, blocks_);
        try {
            detail::reserve_for(deleted_, 1);
        } catch (...) {
            set.release(blocks_);
            throw;
        }
        deleted_.push_back(DeletedEntry{x, std::move(set)});
        ids_[x].deleted_source = static_cast<std::uint32_t>(deleted_.size() - 1);
        *handle = ids_[x].deleted_source;
        return std::nullopt;
    }

    Restored restore_deleted_target(std::uint32_t handle, const Id& to) {
        const std::uint32_t t = intern(to);
        DeletedEntry& e = deleted_[handle];
        const State& s = ids_[e.source];
        if (s.source != kNone && s.targets.contains(t)) return Refusal::added_and_deleted;
        e.targets.reserve_one(blocks_);
        if (!e.targets.insert(t)) return Refusal::repeated;
        return std::nullopt;
    }

    std::size_t num_nodes() const noexcept { return nodes_.size() + deleted_nodes_.size(); }
    // Ids interned since the last clear: a bound on every interned index.
    std::size_t id_count() const noexcept { return ids_.size(); }
    std::size_t num_edges() const noexcept { return sources_.size() + deleted_.size(); }

    // Bytes held by every table of the record, the id pool and the reverse
    // index included; not what the updates own themselves (their texts).
    // The inner tables count as the slabs they live in, free room included.
    std::size_t memory_bytes() const noexcept {
        return blocks_.memory_bytes() + ids_.memory_bytes() + nodes_.capacity() * sizeof(NodeEntry) +
               deleted_nodes_.capacity() * sizeof(std::uint32_t) + sources_.capacity() * sizeof(std::uint32_t) +
               deleted_.capacity() * sizeof(DeletedEntry);
    }

    // Read access. Views are small values, valid while the record is unchanged.

    class NodesView {
    public:
        std::size_t size() const noexcept { return diff_->nodes_.size(); }
        // f(const Id&, const T&)
        template <class F>
        void for_each(F&& f) const {
            for (const NodeEntry& e : diff_->nodes_) f(diff_->ids_.id(e.id), e.update);
        }
        const T* find(const Id& id) const noexcept {
            const std::uint32_t x = diff_->ids_.find(id, hash_id(id));
            if (x == kNone || diff_->ids_[x].node == kNone) return nullptr;
            return &diff_->nodes_[diff_->ids_[x].node].update;
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
            return x != kNone && diff_->ids_[x].deleted_node != kNone;
        }

    private:
        friend class GraphDiff;
        explicit DeletedNodesView(const GraphDiff* diff) : diff_(diff) {}
        const GraphDiff* diff_;
    };

    NodesView nodes() const noexcept { return NodesView(this); }
    DeletedNodesView deleted_nodes() const noexcept { return DeletedNodesView(this); }
    EdgeDiff<Id, W> edges() const noexcept { return EdgeDiff<Id, W>(ids_, sources_, pending_targets_, deleted_); }

private:
    friend class EdgeDiff<Id, W>;

    std::uint32_t intern(const Id& id) { return ids_.intern(id, hash_id(id)); }

    // Removals from the dense lists move the last element into the hole and
    // repoint its id's position.

    void remove_node(std::uint32_t x) noexcept {
        const std::uint32_t pos = ids_[x].node;
        if (pos + 1 != nodes_.size()) {
            nodes_[pos] = std::move(nodes_.back());
            ids_[nodes_[pos].id].node = pos;
        }
        nodes_.pop_back();
        ids_[x].node = kNone;
    }

    void remove_deleted_node(std::uint32_t x) noexcept {
        const std::uint32_t pos = ids_[x].deleted_node;
        deleted_nodes_[pos] = deleted_nodes_.back();
        ids_[deleted_nodes_[pos]].deleted_node = pos;
        deleted_nodes_.pop_back();
        ids_[x].deleted_node = kNone;
    }

    // Needs room in sources_.
    void add_source(std::uint32_t x) noexcept {
        sources_.push_back(x);
        ids_[x].source = static_cast<std::uint32_t>(sources_.size() - 1);
    }

    void remove_source(std::uint32_t x) noexcept {
        State& s = ids_[x];
        pending_targets_ -= s.targets.size();
        s.targets.release(blocks_);
        sources_[s.source] = sources_.back();
        ids_[sources_[s.source]].source = s.source;
        sources_.pop_back();
        s.source = kNone;
    }

    // The deleted-target set of source x, created empty if missing. Needs
    // room in deleted_ when x has no set yet; a new set takes its first
    // entries inline, so inserting one target cannot allocate.
    detail::InnerTable<void>& deleted_targets_of(std::uint32_t x) noexcept {
        State& s = ids_[x];
        if (s.deleted_source == kNone) {
            deleted_.push_back(DeletedEntry{x, {}});
            s.deleted_source = static_cast<std::uint32_t>(deleted_.size() - 1);
        }
        return deleted_[s.deleted_source].targets;
    }

    void remove_deleted_source(std::uint32_t x) noexcept {
        const std::uint32_t pos = ids_[x].deleted_source;
        deleted_[pos].targets.release(blocks_);
        if (pos + 1 != deleted_.size()) {
            deleted_[pos] = std::move(deleted_.back());
            ids_[deleted_[pos].source].deleted_source = pos;
        }
        deleted_.pop_back();
        ids_[x].deleted_source = kNone;
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
    std::vector<NodeEntry> nodes_;
    std::vector<std::uint32_t> deleted_nodes_;
    std::vector<std::uint32_t> sources_;  // sources of new_or_updated; their maps live in ids_
    std::size_t pending_targets_ = 0;     // entries over all maps of new_or_updated
    std::vector<DeletedEntry> deleted_;
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
                if (i + 2 * kAhead < n) __builtin_prefetch(&(*ids_)[list[i + 2 * kAhead]]);
                if (i + kAhead < n) {
                    const std::uint32_t next = list[i + kAhead];
                    (*ids_)[next].targets.prefetch();
                    __builtin_prefetch(&ids_->id(next));
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
        // Entries over all target sets; a walk of the (contiguous) sources.
        std::size_t num_targets() const noexcept {
            std::size_t total = 0;
            for (const detail::DeletedSource& e : *entries_) total += e.targets.size();
            return total;
        }
        // f(const Id& source, const Targets& targets)
        template <class F>
        void for_each(F&& f) const {
            const detail::DeletedSource* const list = entries_->data();
            const std::size_t n = entries_->size();
            for (std::size_t i = 0; i < n; ++i) {
                if (i + kAhead < n) {
                    list[i + kAhead].targets.prefetch();
                    __builtin_prefetch(&ids_->id(list[i + kAhead].source));
                }
                f(ids_->id(list[i].source), Targets(ids_, &list[i].targets));
            }
        }

    private:
        friend class EdgeDiff;
        Deleted(const Pool* ids, const std::vector<detail::DeletedSource>* entries) : ids_(ids), entries_(entries) {}
        const Pool* ids_;
        const std::vector<detail::DeletedSource>* entries_;
    };

    NewOrUpdated new_or_updated() const noexcept { return NewOrUpdated(ids_, sources_, num_targets_); }
    Deleted deleted() const noexcept { return Deleted(ids_, deleted_); }

private:
    template <class, class, class>
    friend class GraphDiff;
    EdgeDiff(const Pool& ids, const std::vector<std::uint32_t>& sources, const std::size_t& num_targets,
             const std::vector<detail::DeletedSource>& deleted)
        : ids_(&ids), sources_(&sources), num_targets_(&num_targets), deleted_(&deleted) {}

    const Pool* ids_;
    const std::vector<std::uint32_t>* sources_;
    const std::size_t* num_targets_;
    const std::vector<detail::DeletedSource>* deleted_;
};

}  // namespace tarnu
