#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/diff_state.hpp"
#include "diff/edge_diff.hpp"
#include "diff/invariant_checks.hpp"
#include "basics/node_id.hpp"
#include "diff/node_table.hpp"
#include "basics/prefetch.hpp"
#include "node_update/node_update_store.hpp"

namespace tarnu {

namespace testing {
struct DiffTamper;  // the tests' way to break a record on purpose
}  // namespace testing

class DiffRestorer;

// The one refusal of the record: an edge whose endpoint is marked deleted.
struct DiffError {
    std::string_view message;
};

inline constexpr std::string_view kDeletedEndpointMessage =
    "Either from or to nodes are marked to be deleted";

// On a single-item operation: inline it into every caller. The batches'
// loops, merge and the module's wrappers call these on every item, and GCC's
// size heuristics would otherwise keep add_edge, delete_edge and delete_node
// out of line there (while inlining their helpers into them instead), which
// costs 5 to 10% more instructions per item. The record was a class template
// with one explicit instantiation before, whose members GCC inlined freely.
#define TARNU_OPERATION [[gnu::always_inline]] inline

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
// weight) and `deleted` (source -> set of targets). Every id that an edge or
// a node deletion names is interned once (see IdPool); deleted_nodes and the
// sources of both edge collections are dense lists of interned indices, and
// each interned id records its position in each list. `nodes` is a table of
// its own (see NodeTable), keyed by the id its record holds, so that an id
// that only carries an update costs nothing in the pool. Membership tests
// and removals are O(1) and iteration walks only the live entries.
// Iteration order is the lists' own (the node table's records are a list
// too): it depends only on the sequence of operations, never on addresses
// or a seed, so one sequence gives one order on every run. Nobody may rely
// on any particular order.
//
// Invariants: every operation keeps those listed, and checked, in
// graph_diff_checks.cpp; with TARNU_CHECK_INVARIANTS (see
// invariant_checks.hpp) every operation checks the record as it returns.
//
// Running out of memory. Every operation may throw std::bad_alloc, and then
// leaves the four collections and both counts exactly as they were: each
// operation first makes every allocation its change can need (interning ids,
// growing lists and inner tables), then makes the change without allocating.
// What a failed call may leave behind is invisible: newly interned ids with
// empty entries and grown capacities. Each operation states what it leaves.
class GraphDiff {
    using Id = NodeId;
    using Store = NodeUpdateStore;
    using W = detail::Weight;
    static_assert(std::is_trivially_copyable_v<Id>, "ids are stored and compared as plain bytes");
    using State = detail::IdState;
    using Pool = detail::IdStatePool;
    using Nodes = detail::NodeTable;
    static constexpr std::uint32_t kNone = detail::kNoIndex;

    using DeletedEntry = detail::DeletedSource;
    // An id with its hash and, when a lookup already found it, its index
    // and entry (kNone and null: not known yet). Both stay valid until
    // clear(): cells never move. `node` is a candidate position of its
    // update in nodes_, found ahead, which the operation confirms (kNone:
    // none known); records move, so it may be stale by then. It sits in
    // what was padding after `index`: the batches copy Refs through their
    // ring and into every operation, and a 40-byte Ref cost add_edges about
    // 3.5 instructions per edge. Default-constructed fields stay unset, as
    // the ring's are until an item is read.
    struct Ref {
        const Id* id;
        std::uint64_t hash;
        std::uint32_t index;
        std::uint32_t node;
        State* state;

        Ref() = default;
        Ref(const Id* id, std::uint64_t hash, std::uint32_t index, State* state) noexcept
            : id(id), hash(hash), index(index), node(kNone), state(state) {}
    };
    static_assert(sizeof(Ref) == 32);

public:
    using UpdateView = Store::View;

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
    // are copied; the view need only be valid for the call. The id is not
    // interned: updates are kept apart from the id pool (see NodeTable),
    // which is only looked in for a deletion to cancel, and only while
    // some node is marked deleted.
    // Out of memory: unchanged (a compaction of the node texts may have
    // moved them, which no reader can see).
    TARNU_OPERATION void set_node_update(const Id& id, const UpdateView& update) {
        set_node_update(Ref{&id, hash_id(id), kNone, nullptr}, update);
    }
    TARNU_OPERATION void set_node_update(Ref id, const UpdateView& update) {
        TARNU_CHECK_AFTER(*this, "set_node_update", id.id);
        nodes_.set(nodes_.confirm(id.node, *id.id, id.hash), *id.id, id.hash, update);
        if (deleted_nodes_.empty()) return;
        find(id);
        if (id.state != nullptr && id.state->deleted_node_pos != kNone) remove_deleted_node(id.index);
    }

    // Marks the node deleted: drops its update and its pending outgoing edges
    // (a self-loop included, never recorded as a deletion) and turns each
    // pending edge into it into an edge deletion. A source whose last target
    // this removes keeps its (empty) entry. Costs in proportion to the node's
    // own pending edges, not to the size of the diff. The id is interned: a
    // deleted node is kept in the pool, where add_edge sees it on the cells
    // it reads anyway.
    // Out of memory: unchanged.
    TARNU_OPERATION void delete_node(const Id& id) { delete_node(Ref{&id, hash_id(id), kNone, nullptr}); }
    TARNU_OPERATION void delete_node(Ref id) {
        TARNU_CHECK_AFTER(*this, "delete_node", id.id);
        intern(id);
        const std::uint32_t x = id.index;
        State& s = *id.state;
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
        if (const std::uint32_t pos = nodes_.confirm(id.node, *id.id, id.hash); pos != kNone)
            nodes_.remove(pos, id.hash);
        if (s.source_pos != kNone) {
            s.targets.for_each([&](std::uint32_t target, const W&) { ids_[target].incoming.erase(x); });
            remove_source(x);
        }
        // Each source's map holds x (t's sources hold f exactly when f's
        // targets hold t), and a pending edge is never also a deleted one:
        // x goes into each deleted set without a look for it there first.
        s.incoming.for_each([&](std::uint32_t source) {
            State& src = ids_[source];
            const bool erased = src.targets.erase(x);
            assert(erased);
            static_cast<void>(erased);
            deleted_targets_of(source, src).insert_absent(x);
        });
        pending_targets_ -= s.incoming.size();
        deleted_targets_ += s.incoming.size();
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
    // Out of memory: unchanged.
    [[nodiscard]] TARNU_OPERATION std::optional<DiffError> add_edge(const Id& from, const Id& to, W weight) {
        return add_edge(Ref{&from, hash_id(from), kNone, nullptr}, Ref{&to, hash_id(to), kNone, nullptr}, weight);
    }
    [[nodiscard]] TARNU_OPERATION std::optional<DiffError> add_edge(Ref from, Ref to, W weight) {
        TARNU_CHECK_AFTER(*this, "add_edge", from.id, to.id);
        find(from);
        find(to);
        if ((from.state != nullptr && from.state->deleted_node_pos != kNone) ||
            (to.state != nullptr && to.state->deleted_node_pos != kNone))
            return DiffError{kDeletedEndpointMessage};
        if (from.state == nullptr) add(from);
        if (to.state == nullptr) {
            if (*from.id == *to.id)
                to = from;
            else
                add(to);
        }
        const std::uint32_t f = from.index;
        const std::uint32_t t = to.index;
        State& fs = *from.state;
        State& ts = *to.state;
        // A pending edge only takes its new weight: it has no pending
        // deletion to cancel, and its tables need no room.
        if (fs.targets.assign(t, weight)) return std::nullopt;
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
        fs.targets.insert_absent(t, weight);
        ts.incoming.insert_absent(f);  // t's sources hold f exactly when f's targets hold t
        ++pending_targets_;
        return std::nullopt;
    }

    // Records the deletion of the edge from `from` to `to`, whether or not it
    // was pending, and cancels a pending addition of it. A source whose target
    // map is empty afterwards loses its entry in new_or_updated, even when its
    // map was already empty and `to` was never a target.
    // Out of memory: unchanged.
    TARNU_OPERATION void delete_edge(const Id& from, const Id& to) {
        delete_edge(Ref{&from, hash_id(from), kNone, nullptr}, Ref{&to, hash_id(to), kNone, nullptr});
    }
    TARNU_OPERATION void delete_edge(Ref from, Ref to) {
        TARNU_CHECK_AFTER(*this, "delete_edge", from.id, to.id);
        intern(from);
        intern(to);
        const std::uint32_t f = from.index;
        const std::uint32_t t = to.index;
        State& fs = *from.state;
        if (fs.deleted_source_pos == kNone)
            detail::reserve_for(deleted_, 1);
        else
            deleted_[fs.deleted_source_pos].targets.reserve_one(blocks_);

        // Nothing below allocates. A pending edge is never also a deleted
        // one, so an edge that was pending goes into the deleted set without
        // a look for it there first.
        if (fs.source_pos != kNone) {
            if (fs.targets.erase(t)) {
                to.state->incoming.erase(f);
                --pending_targets_;
                deleted_targets_of(f, fs).insert_absent(t);
                ++deleted_targets_;
            } else if (deleted_targets_of(f, fs).insert(t)) {
                ++deleted_targets_;
            }
            if (fs.targets.empty()) remove_source(f);
        } else if (deleted_targets_of(f, fs).insert(t)) {
            ++deleted_targets_;
        }
    }

    // Back to the empty record. Every update and inner table is released, and
    // the node store gives back all its storage. The other outer tables (the
    // node table's slots among them) keep
    // their capacity for a next fill like the one just cleared, the usual
    // cycle of fill, encode and clear; capacity far beyond what the record
    // held at this point is given back (the room of an earlier, larger batch,
    // or of ids that nothing names any more), so a reused diff costs what
    // its current batch costs.
    // Never throws.
    void clear() noexcept;

    // The longest probe in the id pool and the node table; see
    // IdPool::longest_probe.
    std::uint32_t longest_id_probe() const noexcept {
        return std::max(ids_.longest_probe(), nodes_.longest_probe());
    }

    // Batches (graph_diff_batches.hpp). Each has exactly the effect of its
    // single-item operation run on items 0 to n-1 in order: item i is read
    // through the accessors (source(i), target(i), weight(i), id(i),
    // update(i)); an accessor that returns a reference is read in place
    // (the item must stay put until the batch returns), one that returns a
    // value is copied. `done` counts the items applied, set when the batch
    // returns or throws. Out of memory,
    // std::bad_alloc leaves the record holding exactly the effect of the
    // first `done` items: every item is one single-item operation, which
    // changes nothing when it throws. `before_item(i)` runs before item i is
    // applied (a test's failure point). Only the reads run ahead, so that the
    // cache misses of consecutive items overlap (see run_batch).
    template <class Sources, class Targets, class Weights, class BeforeItem>
    void add_edges(std::size_t n, const Sources& source, const Targets& target, const Weights& weight,
                   std::size_t& done, const BeforeItem& before_item);
    template <class Sources, class Targets, class BeforeItem>
    void delete_edges(std::size_t n, const Sources& source, const Targets& target, std::size_t& done,
                      const BeforeItem& before_item);
    template <class Ids, class BeforeItem>
    void delete_nodes(std::size_t n, const Ids& id, std::size_t& done, const BeforeItem& before_item);
    // update(i) gives item i's update (anything that converts to UpdateView);
    // the record copies its texts, as set_node_update does.
    template <class Ids, class Updates, class BeforeItem>
    void set_node_updates(std::size_t n, const Ids& id, const Updates& update, std::size_t& done,
                          const BeforeItem& before_item);

    // Records other's content on this record, exactly as these single-item
    // operations would: delete_node for each of other's deleted nodes, then
    // set_node_update for each of its updates, then delete_edge for each of
    // its deleted edges, then add_edge for each of its pending edges (the
    // refused ones leave no trace), each list in other's walk order, which
    // is its encoding order. A source that other keeps with no targets adds
    // nothing. other is only read; merging a record into itself changes
    // nothing. `done` and `before_item(i)` count and precede the items as in
    // the batches above, in that order over the four lists. Out of memory:
    // the record holds exactly the effect of the first `done` items.
    template <class BeforeItem>
    void merge(const GraphDiff& other, std::size_t& done, const BeforeItem& before_item);

    // An independent record with the same contents: the same interned
    // indices, list positions and table rows throughout, so it encodes to
    // the same bytes as this one, and keeps doing so while both undergo the
    // same further operations. Out of memory: std::bad_alloc, the partial
    // copy dropped and this record untouched.
    GraphDiff clone() const;

    // The first broken invariant (see graph_diff_checks.cpp), described with the
    // interned index it concerns, or an empty string when all hold. Reads
    // the whole record, O(its size and capacity); allocates only to describe
    // a flaw. Out of line (graph_diff_checks.cpp), so that no operation's
    // release code changes with it.
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
    // index and the node table (texts included). The inner tables count as
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
        std::uint64_t json_bytes() const noexcept { return diff_->nodes_.store().json_bytes(); }
        // f(const Id&, const UpdateView&)
        template <class F>
        void for_each(F&& f) const {
            const Store& store = diff_->nodes_.store();
            for (std::size_t i = 0, n = store.size(); i < n; ++i) f(store.id(i), store.view(i));
        }
        // f(const Id&, const UpdateView&, std::size_t json_length,
        //   std::string_view size_text): what the encoder needs, all kept by
        // the store.
        template <class F>
        void for_each_encoded(F&& f) const {
            const Store& store = diff_->nodes_.store();
            for (std::size_t i = 0, n = store.size(); i < n; ++i)
                f(store.id(i), store.view(i), store.json_length(i), store.size_text(i));
        }
        std::optional<UpdateView> find(const Id& id) const noexcept {
            const std::uint32_t pos = diff_->nodes_.find(id, hash_id(id));
            if (pos == kNone) return std::nullopt;
            return diff_->nodes_.store().view(pos);
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
    EdgeDiff edges() const noexcept {
        return EdgeDiff(ids_, sources_, pending_targets_, deleted_, deleted_targets_);
    }

private:
    friend class EdgeDiff;
    friend class DiffRestorer;
    friend struct testing::DiffTamper;

    std::uint32_t intern(const Id& id) { return ids_.intern(id, hash_id(id)); }

    // Fill in r's index and entry where no lookup ahead found them: find
    // leaves them absent for an id not interned, add interns an id known
    // to be absent, intern does either.
    void find(Ref& r) const noexcept {
        if (r.state != nullptr) return;
        const auto found = ids_.lookup(*r.id, r.hash);
        r.index = found.index;
        r.state = found.entry;
    }
    void add(Ref& r) {
        r.index = ids_.add(*r.id, r.hash);
        r.state = ids_.entry(r.index);
    }
    void intern(Ref& r) {
        find(r);
        if (r.state == nullptr) add(r);
    }

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

    void check_after(std::string_view operation, const Id* a, const Id* b) noexcept;

    std::uint64_t checks_done_ = 0;
#endif

    // The read-ahead pipeline under every batch (graph_diff_batches.hpp):
    // id_at(i, k) gives item i's k-th id (of K), warm(k, state) asks for
    // the inner tables the k-th id's item will use, apply(i, refs) applies
    // item i. `tables` says which tables the items look their ids up in.
    enum class Tables { pool, pool_and_nodes, nodes };
    template <std::size_t K, Tables tables = Tables::pool, class IdAt, class Warm, class Apply>
    void run_batch(std::size_t n, IdAt id_at, Warm warm, Apply apply, std::size_t& done);

    // Removals from the dense lists move the last element into the hole and
    // repoint its id's position.

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

    // The deleted-target set of source x, whose entry is s, created empty
    // if missing. Needs room in deleted_ when x has no set yet; a new set
    // takes its first entries inline, so inserting one target cannot
    // allocate. Inlined with s passed in: the deletes call it once per
    // removed edge, and the call that located x again cost some 25
    // instructions each time.
    [[gnu::always_inline]] detail::InnerTable<void>& deleted_targets_of(std::uint32_t x, State& s) noexcept {
        if (s.deleted_source_pos == kNone) [[unlikely]]
            add_deleted_source(x, s);
        return deleted_[s.deleted_source_pos].targets;
    }

    // Needs room in deleted_.
    void add_deleted_source(std::uint32_t x, State& s) noexcept {
        assert(s.deleted_source_pos == kNone && deleted_.size() < deleted_.capacity());
        deleted_.push_back(DeletedEntry{x, {}});
        s.deleted_source_pos = static_cast<std::uint32_t>(deleted_.size() - 1);
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
    void drop_sources_without_targets() noexcept;

    // Drops every inner table ahead of a reset of blocks_ (or of its end).
    void discard_tables() noexcept;

    detail::BlockPool blocks_;  // every inner table's block; declared first, so destroyed last
    Pool ids_;
    Nodes nodes_;
    std::vector<std::uint32_t> deleted_nodes_;
    std::vector<std::uint32_t> sources_;  // sources of new_or_updated; their maps live in ids_
    std::size_t pending_targets_ = 0;     // entries over all maps of new_or_updated
    std::vector<DeletedEntry> deleted_;
    std::size_t deleted_targets_ = 0;  // entries over all sets of deleted
};

#undef TARNU_CHECK_AFTER
#undef TARNU_OPERATION

}  // namespace tarnu

// The batches and merge are member templates; every user of the record gets
// their definitions with it.
#include "diff/graph_diff_batches.hpp"
