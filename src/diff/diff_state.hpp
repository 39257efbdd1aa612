#pragma once

// What the record keeps per interned id and per deleted source, shared by
// the record (graph_diff.hpp), its views (edge_diff.hpp), its batches, its
// restore builder and its checker.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "diff/id_pool.hpp"
#include "diff/inner_table.hpp"
#include "basics/node_id.hpp"

namespace tarnu::detail {

// An edge's weight as the record keeps and encodes it.
using Weight = float;

// Everything the diff keeps per interned id besides the id itself, which the
// pool keeps beside it: 44 bytes (48 with padding) that, with the id, fill
// one cache line. An
// add_edge touches that line for each endpoint and the tables hanging off
// them, nothing else.
struct IdState {
    // Targets of the pending edges leaving this id (its map in new_or_updated).
    // Meaningful only while `source_pos` is set; such a map may be empty.
    InnerTable<Weight> targets;
    // Sources whose target map holds this id: the reverse of `targets`, so
    // that deleting a node costs in proportion to its own pending edges.
    InnerTable<void> incoming;
    // Positions in the record's dense lists, kNoIndex when absent. Node
    // updates are not among them: they live in their own table (NodeTable).
    std::uint32_t deleted_node_pos = kNoIndex;    // in deleted_nodes
    std::uint32_t source_pos = kNoIndex;          // among the sources of new_or_updated
    std::uint32_t deleted_source_pos = kNoIndex;  // among the sources of deleted
};

static_assert(sizeof(IdState) + sizeof(NodeId) <= 64, "one cache line per interned id");

using IdStatePool = IdPool<IdState, NodeId>;

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

}  // namespace tarnu::detail
