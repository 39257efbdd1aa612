#pragma once

// The record's batches and merge: one pipeline, run_batch, reads ahead for
// every batch, so that the cache misses of consecutive items overlap instead
// of waiting in line, while each item is applied by its single-item
// operation, in order, with exactly that operation's effect. Included by
// graph_diff.hpp.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "diff/graph_diff.hpp"

// On the step that applies one item: inline it, with the operation it calls
// (see TARNU_OPERATION), into both loops of run_batch, as the item's reads
// ahead are; left to itself GCC keeps it out of line.
#define TARNU_ITEM __attribute__((always_inline))

// On a loop over an item's K ids (one or two): unroll it. GCC 12 at -O3
// kept these loops, with their counter, compare and branch for each id and
// a test of which endpoint it was at (add_edges warms the source's targets
// but the target's sources), about 19 instructions an edge.
#define TARNU_EACH_ID _Pragma("GCC unroll 2")

namespace tarnu {

namespace detail::pipeline {

// The pipeline of the batches: item i+kHashAhead has its K ids read and
// hashed and their probe slots fetched; item i+kCellAhead has its
// candidates taken from the slots (IdPool::candidate) and their cells
// fetched; item i+kTableAhead has each candidate confirmed against its
// cell, in cache by then, and warm(endpoint, entry) ask for the inner
// tables it will use; item i is applied with the hashes, indices and
// entries found, so that each id is looked up once. An id not found ahead
// is looked up again when its item is applied: an item before it may have
// interned it. The node table, where a batch asks for it, follows the same
// stages: its slot with the pool's, the record of its candidate with the
// cell, which the operation confirms.
inline constexpr std::size_t kHashAhead = 16;
inline constexpr std::size_t kCellAhead = 10;
inline constexpr std::size_t kTableAhead = 5;
inline constexpr std::size_t kRing = 32;  // > kHashAhead, a power of two
// Below this many interned ids the cells and slots stay in cache, and
// reading ahead costs more instructions than it saves waiting; the
// choice is made per chunk of items, as the pool grows.
inline constexpr std::uint32_t kReadAheadFrom = 8192;
inline constexpr std::size_t kChunk = 1024;

}  // namespace detail::pipeline

template <std::size_t K, GraphDiff::Tables tables, class IdAt, class Warm, class Apply>
void GraphDiff::run_batch(std::size_t n, IdAt id_at, Warm warm, Apply apply, std::size_t& done) {
    using namespace detail::pipeline;
    static constexpr bool kPool = tables != Tables::nodes;
    static constexpr bool kNodes = tables != Tables::pool;
    // An accessor that hands out references into the caller's items (which
    // outlive the batch) is read in place; one that makes its ids is copied
    // into the ring, where they stay until their item is applied.
    static constexpr bool kInPlace = std::is_lvalue_reference_v<decltype(id_at(std::size_t{0}, std::size_t{0}))>;
    struct Copied {
        std::array<Id, K> ids;
    };
    struct Ahead : std::conditional_t<kInPlace, std::monostate, Copied> {
        std::array<Ref, K> refs;
    };
    std::array<Ahead, kRing> ring;
    const auto read = [&](Ahead& a, std::size_t j) TARNU_ITEM {
        TARNU_EACH_ID
        for (std::size_t k = 0; k < K; ++k) {
            const Id* id;
            if constexpr (kInPlace) {
                id = &id_at(j, k);
            } else {
                a.ids[k] = id_at(j, k);
                id = &a.ids[k];
            }
            // The index, entry and node candidate are left to the stage
            // that finds them (or to the item's own lookup below the
            // read-ahead threshold); a batch that reads no cell ahead
            // leaves its entries unknown here.
            a.refs[k].id = id;
            a.refs[k].hash = hash_id(*id);
            if constexpr (!kPool) a.refs[k].state = nullptr;
        }
    };
    const auto hash_ahead = [&](std::size_t j) TARNU_ITEM {
        Ahead& a = ring[j % kRing];
        read(a, j);
        TARNU_EACH_ID
        for (std::size_t k = 0; k < K; ++k) {
            if constexpr (kPool) ids_.prefetch_slot(a.refs[k].hash);
            if constexpr (kNodes) nodes_.prefetch_slot(a.refs[k].hash);
        }
    };
    const auto find_ahead = [&](std::size_t j) TARNU_ITEM {
        Ahead& a = ring[j % kRing];
        TARNU_EACH_ID
        for (std::size_t k = 0; k < K; ++k) {
            if constexpr (kPool) {
                const auto found = ids_.candidate(a.refs[k].hash);
                a.refs[k].index = found.index;
                a.refs[k].state = found.entry;
            }
            if constexpr (kNodes) a.refs[k].node = nodes_.candidate(a.refs[k].hash);
        }
    };
    const auto warm_ahead = [&](std::size_t j) TARNU_ITEM {
        if constexpr (!kPool) return;  // no cell was fetched: nothing to confirm or warm
        Ahead& a = ring[j % kRing];
        TARNU_EACH_ID
        for (std::size_t k = 0; k < K; ++k) {
            Ref& r = a.refs[k];
            if (r.state == nullptr) continue;
            const auto found = ids_.confirm({r.index, r.state}, *r.id, r.hash);
            r.index = found.index;
            r.state = found.entry;
            if (r.state != nullptr) warm(k, *r.state);
        }
    };
    // `done` is written once a chunk, and where an item throws.
    std::size_t i = 0;
    try {
        for (std::size_t begin = 0; begin < n; begin += kChunk) {
            const std::size_t end = std::min(n, begin + kChunk);
            if ((kPool ? ids_.size() : 0) + (kNodes ? nodes_.size() : 0) < kReadAheadFrom) {
                // A local of its own, not a ring entry: the compiler keeps
                // the item's ids and refs in registers instead of storing
                // them and loading them back (about 10 instructions per
                // delete_edges item).
                for (i = begin; i < end; ++i) {
                    Ahead item;
                    read(item, i);
                    for (Ref& r : item.refs) {
                        r.state = nullptr;
                        if constexpr (kNodes) r.node = kNone;
                    }
                    apply(i, item.refs);
                }
                done = end;
                continue;
            }
            // Fill the pipeline as if the items before `begin` had been read ahead.
            for (std::size_t j = begin; j < std::min(end, begin + kHashAhead); ++j) hash_ahead(j);
            for (std::size_t j = begin; j < std::min(end, begin + kCellAhead); ++j) find_ahead(j);
            for (std::size_t j = begin; j < std::min(end, begin + kTableAhead); ++j) warm_ahead(j);
            i = begin;
            // Every stage has an item to read ahead, then fewer and fewer.
            for (; i + kHashAhead < end; ++i) {
                hash_ahead(i + kHashAhead);
                find_ahead(i + kCellAhead);
                warm_ahead(i + kTableAhead);
                apply(i, ring[i % kRing].refs);
            }
            for (; i < end; ++i) {
                if (i + kCellAhead < end) find_ahead(i + kCellAhead);
                if (i + kTableAhead < end) warm_ahead(i + kTableAhead);
                apply(i, ring[i % kRing].refs);
            }
            done = end;
        }
    } catch (...) {
        done = i;  // items before i are applied; item i changed nothing
        throw;
    }
}

template <class Sources, class Targets, class Weights, class BeforeItem>
void GraphDiff::add_edges(std::size_t n, const Sources& source, const Targets& target, const Weights& weight,
                          std::size_t& done, const BeforeItem& before_item) {
    run_batch<2>(
        n, [&](std::size_t i, std::size_t k) -> decltype(auto) { return k == 0 ? source(i) : target(i); },
        [&](std::size_t endpoint, const State& s) {
            if (endpoint == 0)
                s.targets.prefetch();
            else
                s.incoming.prefetch();
        },
        [&](std::size_t i, const std::array<Ref, 2>& ends) TARNU_ITEM {
            before_item(i);
            (void)add_edge(ends[0], ends[1], weight(i));  // a refused edge leaves no trace
        },
        done);
}

template <class Sources, class Targets, class BeforeItem>
void GraphDiff::delete_edges(std::size_t n, const Sources& source, const Targets& target, std::size_t& done,
                             const BeforeItem& before_item) {
    run_batch<2>(
        n, [&](std::size_t i, std::size_t k) -> decltype(auto) { return k == 0 ? source(i) : target(i); },
        [&](std::size_t endpoint, const State& s) {
            if (endpoint == 0) s.targets.prefetch();
        },
        [&](std::size_t i, const std::array<Ref, 2>& ends) TARNU_ITEM {
            before_item(i);
            delete_edge(ends[0], ends[1]);
        },
        done);
}

template <class Ids, class BeforeItem>
void GraphDiff::delete_nodes(std::size_t n, const Ids& id, std::size_t& done, const BeforeItem& before_item) {
    run_batch<1, Tables::pool_and_nodes>(
        n, [&](std::size_t i, std::size_t) -> decltype(auto) { return id(i); },
        [&](std::size_t, const State& s) {
            s.incoming.prefetch();
            s.targets.prefetch();
        },
        [&](std::size_t i, const std::array<Ref, 1>& node) TARNU_ITEM {
            before_item(i);
            delete_node(node[0]);
        },
        done);
}

template <class Ids, class Updates, class BeforeItem>
void GraphDiff::set_node_updates(std::size_t n, const Ids& id, const Updates& update, std::size_t& done,
                                 const BeforeItem& before_item) {
    // Room for the batch's updates as if all were new (a batch of known
    // nodes takes none: the room counts in all, not in addition). Failing
    // here applies nothing, a prefix of no items. The pool is not read
    // ahead: an update looks there only to cancel a deletion, rarely and
    // only while some node is marked deleted.
    nodes_.reserve(std::max(nodes_.size(), n));
    run_batch<1, Tables::nodes>(
        n, [&](std::size_t i, std::size_t) -> decltype(auto) { return id(i); }, [](std::size_t, const State&) {},
        [&](std::size_t i, const std::array<Ref, 1>& node) TARNU_ITEM {
            before_item(i);
            set_node_update(node[0], update(i));
        },
        done);
}

template <class BeforeItem>
void GraphDiff::merge(const GraphDiff& other, std::size_t& done, const BeforeItem& before_item) {
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
        return Ref{&id, 0, x, ids_.entry(x)};  // the hash is not read once the index is known
    };
    for (const std::uint32_t node : other.deleted_nodes_) {
        before_item(done);
        Ref r = ref(node);
        r.hash = hash_id(*r.id);  // the node table reads it
        delete_node(r);
        ++done;
    }
    const Store& updates = other.nodes_.store();
    for (std::size_t i = 0, n = updates.size(); i < n; ++i) {
        before_item(done);
        set_node_update(updates.id(i), updates.view(i));
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

}  // namespace tarnu

#undef TARNU_ITEM
#undef TARNU_EACH_ID
