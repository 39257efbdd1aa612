#pragma once

// The change between two snapshots of a graph (nodes with their updates,
// edges with their weights), recorded on a GraphDiff as the single-item
// operations that turn the old snapshot into the new one, in this order:
//   1. delete_node for each old node whose id the new nodes lack;
//   2. set_node_update for each new node that is not among the old ones, or
//      whose update encodes to other JSON text than its old one;
//   3. delete_edge for each old (source, target) that the new edges lack
//      (including the edges of the nodes step 1 deletes);
//   4. add_edge for each new edge that is not among the old ones, or whose
//      weight has other bits than its old one.
// Each list goes in the order of its snapshot's rows.
//
// What counts as changed is what changes bytes on the wire. An update is
// compared property by property: the same presence, the same text bytes
// (the JSON escapes map bytes one to one, so equal texts and only they give
// equal escaped text), and a size that either has the same bits or is not
// finite on both sides (NaN and the infinities are all written as null;
// every finite float has a text of its own, -0.0 included). A weight goes
// on the wire as its 32 bits, so two weights are the same exactly when
// their bits are: NaNs with other payloads differ, and so do 0.0 and -0.0.
// Weights are compared as the caller's accessor gives them, that is after
// whatever conversion add_edge makes.
//
// How. Each 16-byte id is interned once into one temporary table that both
// snapshots share, so an edge becomes a 64-bit key of two 32-bit indices.
// Each snapshot's edges are then grouped by a few bits of their key's hash
// (about 4096 edges of the larger snapshot a group), and group by group the
// old edges go into a small open-addressing table that stays in cache, the
// new edges probe it and mark the old rows they find; the old rows left
// unmarked are the deletions. The ids of a few rows ahead are hashed and
// their slots fetched before those rows are interned, so that the cache
// misses of consecutive rows overlap. Neither snapshot is copied as 16-byte
// pairs: the temporary tables cost 16 bytes an edge of either snapshot (its
// key, weight and row, grouped in place), one cache-sized table for the
// group at hand, and 64 to 128 bytes per distinct id.
//
// Every refusal is found before the first change (compute), and the change
// is then recorded through the record's batches (apply), which equal their
// single-item loops.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <type_traits>
#include <optional>
#include <vector>

#include "diff/graph_diff.hpp"
#include "basics/id_hash.hpp"
#include "basics/node_id.hpp"
#include "basics/prefetch.hpp"
#include "node_update/node_update.hpp"

namespace tarnu {

// One snapshot's rows, read through accessors as the batches read them:
// id(i) / source(i), target(i) give a NodeId (a reference or a value),
// update(i) a NodeUpdateView, weight(i) a float. A snapshot that is not
// given is one of no rows; its accessors are never called.
template <class Ids, class Updates>
struct NodeRows {
    std::size_t size;
    Ids id;
    Updates update;
};
template <class Ids, class Updates>
NodeRows(std::size_t, Ids, Updates) -> NodeRows<Ids, Updates>;

template <class Sources, class Targets, class Weights>
struct EdgeRows {
    std::size_t size;
    Sources source;
    Targets target;
    Weights weight;
};
template <class Sources, class Targets, class Weights>
EdgeRows(std::size_t, Sources, Targets, Weights) -> EdgeRows<Sources, Targets, Weights>;

enum class SnapshotArgument : std::uint8_t { old_nodes, new_nodes, old_edges, new_edges };

// Why a pair of snapshots is refused, and the first row to blame (rows of
// old_nodes, then new_nodes, old_edges and new_edges, are checked in order).
struct SnapshotRefusal {
    enum class Kind : std::uint8_t {
        duplicate_id,      // the row's id is on an earlier row
        duplicate_edge,    // the row's (source, target) is on an earlier row
        deleted_endpoint,  // a new edge whose source or target step 1 deletes
        too_many_rows,     // a snapshot of kMaxSnapshotRows rows or more (row: that limit)
    };
    Kind kind;
    SnapshotArgument argument;
    std::size_t row;
};

// Rows and distinct ids are numbered in 31 bits.
inline constexpr std::size_t kMaxSnapshotRows = std::size_t{1} << 31;

// Whether two updates encode to the same JSON text (see above).
inline bool same_json_text(const NodeUpdateView& a, const NodeUpdateView& b) noexcept {
    bool same = true;
    for_each_node_property([&](auto property) {
        const auto& x = property.of(a);
        const auto& y = property.of(b);
        if (x.has_value() != y.has_value()) {
            same = false;
        } else if (x.has_value()) {
            if constexpr (std::is_same_v<typename decltype(property)::Kind, node_property::Float>)
                same &= std::bit_cast<std::uint32_t>(*x) == std::bit_cast<std::uint32_t>(*y) ||
                        (!std::isfinite(*x) && !std::isfinite(*y));
            else
                same &= *x == *y;
        }
    });
    return same;
}

namespace detail::snapshot {

inline constexpr std::uint32_t kNoRow = 0xffffffffu;

// The ids of both snapshots, each interned once: an open-addressing table
// of slots that hold the id itself and its index + 1 (0: an empty slot),
// one cache line for two slots, so that a lookup reads the one line the
// read-ahead fetched. Grows at half full. Beside it, for the indices the
// nodes interned, the row each has among the old and the new nodes.
class IdTable {
public:
    struct Node {
        std::uint32_t old_row = kNoRow;
        std::uint32_t new_row = kNoRow;
    };

    explicit IdTable(std::size_t expected) { rehash(std::bit_ceil(std::max<std::size_t>(1024, 2 * expected))); }

    void prefetch(std::uint64_t hash) const noexcept { detail::prefetch(&slots_[hash & mask_]); }

    // The index of `id`, interned if new. Out of memory: std::bad_alloc.
    [[gnu::always_inline]] std::uint32_t intern(const NodeId& id, std::uint64_t hash) {
        std::uint64_t lo;
        std::uint64_t hi;
        std::memcpy(&lo, id.bytes.data(), 8);
        std::memcpy(&hi, id.bytes.data() + 8, 8);
        std::size_t at = hash & mask_;
        for (;; at = (at + 1) & mask_) {
            const Slot& s = slots_[at];
            if (s.index == 0) break;
            if (s.lo == lo && s.hi == hi) return s.index - 1;
        }
        return add(lo, hi, at);
    }

    // The node state of index x, for the indices the nodes interned:
    // cover_nodes() gives each index interned so far one.
    Node& node(std::uint32_t x) noexcept { return nodes_[x]; }
    void cover_nodes() { nodes_.resize(count_); }
    std::size_t size() const noexcept { return count_; }

    std::size_t memory_bytes() const noexcept {
        return slots_.capacity() * sizeof(Slot) + nodes_.capacity() * sizeof(Node);
    }

private:
    struct alignas(32) Slot {
        std::uint64_t lo;
        std::uint64_t hi;
        std::uint32_t index;  // interned index + 1; 0: empty
    };
    static_assert(sizeof(Slot) == 32);

    std::uint32_t add(std::uint64_t lo, std::uint64_t hi, std::size_t at) {
        if (count_ >= kNoRow - 1) throw std::bad_alloc();  // an index must not make the empty key
        if (2 * (count_ + 1) > slots_.size()) {
            rehash(2 * slots_.size());
            NodeId id;
            std::memcpy(id.bytes.data(), &lo, 8);
            std::memcpy(id.bytes.data() + 8, &hi, 8);
            at = free_slot(hash_id(id));
        }
        slots_[at] = Slot{lo, hi, ++count_};
        return count_ - 1;
    }

    std::size_t free_slot(std::uint64_t hash) const noexcept {
        std::size_t at = hash & mask_;
        while (slots_[at].index != 0) at = (at + 1) & mask_;
        return at;
    }

    void rehash(std::size_t count) {
        std::vector<Slot> slots(count, Slot{0, 0, 0});
        slots_.swap(slots);
        mask_ = count - 1;
        for (const Slot& s : slots) {
            if (s.index == 0) continue;
            NodeId id;
            std::memcpy(id.bytes.data(), &s.lo, 8);
            std::memcpy(id.bytes.data() + 8, &s.hi, 8);
            slots_[free_slot(hash_id(id))] = s;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::uint32_t count_ = 0;
    std::vector<Node> nodes_;
};

// An edge of a snapshot, as the comparison holds it: its key (source index
// << 32 | target index), its weight's bits and its row.
struct Edge {
    std::uint64_t key;
    std::uint32_t weight;
    std::uint32_t row;
};
static_assert(sizeof(Edge) == 16);

// Keyed, as the id hash is: the indices follow the order of the caller's
// rows, which the caller chooses.
inline std::uint64_t edge_hash(std::uint64_t key) noexcept {
    return hash_detail::folded_product(key ^ id_hash_key.k0, id_hash_key.k1 | 1);
}

// A snapshot's edges grouped by the top bits of their key's hash: the
// edges of group p are [begin(p), begin(p + 1)), in no particular order.
// They are written in row order, then moved into their groups in place, so
// that a snapshot costs one array of 16 bytes a row and no second copy.
class EdgeGroups {
public:
    EdgeGroups(std::size_t rows, unsigned bits) : shift_(bits == 0 ? 64 : 64 - bits), starts_((std::size_t{1} << bits) + 1, 0) {
        edges_.resize(rows);
    }
    std::size_t group(std::uint64_t hash) const noexcept { return shift_ == 64 ? 0 : hash >> shift_; }
    // First, every row's key in row order.
    void set_key(std::size_t row, std::uint64_t key) noexcept {
        edges_[row] = Edge{key, 0, static_cast<std::uint32_t>(row)};
        ++starts_[group(edge_hash(key)) + 1];
    }
    // Then the weights, weight(row) giving each row's bits, and the groups:
    // each edge is swapped into the next free place of its group until the
    // one that belongs where the cycle started comes round.
    template <class Weight>
    void group_rows(const Weight& weight) {
        for (std::size_t row = 0; row < edges_.size(); ++row) edges_[row].weight = weight(row);
        for (std::size_t p = 1; p < starts_.size(); ++p) starts_[p] += starts_[p - 1];
        if (starts_.size() <= 2) return;
        std::vector<std::size_t> next(starts_.begin(), starts_.end() - 1);
        for (std::size_t p = 0; p + 1 < starts_.size(); ++p) {
            for (std::size_t& at = next[p]; at < starts_[p + 1]; ++at) {
                Edge e = edges_[at];
                for (std::size_t g = group(edge_hash(e.key)); g != p; g = group(edge_hash(e.key))) {
                    std::swap(e, edges_[next[g]++]);
                }
                edges_[at] = e;
            }
        }
    }
    std::size_t groups() const noexcept { return starts_.size() - 1; }
    const Edge* begin(std::size_t p) const noexcept { return edges_.data() + starts_[p]; }
    const Edge* end(std::size_t p) const noexcept { return edges_.data() + starts_[p + 1]; }
    std::size_t memory_bytes() const noexcept {
        return edges_.capacity() * sizeof(Edge) + starts_.capacity() * sizeof(std::size_t);
    }

private:
    unsigned shift_;
    std::vector<std::size_t> starts_;
    std::vector<Edge> edges_;
};

// One group's old edges by key, probed by the group's new edges; the new
// edges that are not old go in too, their row marked. Linear probing over a
// table sized for the group, which stays in cache.
class GroupTable {
public:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    static constexpr std::uint32_t kNewRow = 0x80000000u;

    // Empty, with room for `count` edges at most half full.
    void reset(std::size_t count) {
        const std::size_t size = std::bit_ceil(std::max<std::size_t>(16, 2 * count));
        if (slots_.size() < size) slots_.resize(size);
        std::fill(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(size), Edge{kEmpty, 0, 0});
        mask_ = size - 1;
    }
    // The slot of `key`, or the empty slot where it would go.
    Edge& find(std::uint64_t key) noexcept {
        for (std::size_t at = edge_hash(key) & mask_;; at = (at + 1) & mask_) {
            Edge& e = slots_[at];
            if (e.key == key || e.key == kEmpty) return e;
        }
    }
    std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Edge); }

private:
    std::vector<Edge> slots_;
    std::size_t mask_ = 0;
};

}  // namespace detail::snapshot

// The change between two pairs of snapshots: compute() finds it, or the
// first refusal, changing nothing; apply() records it.
class SnapshotChange {
public:
    template <class OldNodes, class NewNodes, class OldEdges, class NewEdges>
    std::optional<SnapshotRefusal> compute(const OldNodes& old_nodes, const NewNodes& new_nodes,
                                           const OldEdges& old_edges, const NewEdges& new_edges);

    // Items apply() will record, as GraphDiff::counts() counts them.
    GraphDiff::Counts counts() const noexcept {
        return {updated_nodes_.size(), deleted_nodes_.size(), added_edges_.size(), deleted_edges_.size()};
    }
    std::size_t size() const noexcept {
        return updated_nodes_.size() + deleted_nodes_.size() + added_edges_.size() + deleted_edges_.size();
    }
    // The temporary tables of the last compute() at their largest.
    std::size_t peak_table_bytes() const noexcept { return peak_table_bytes_; }
    // About how many edges of the larger snapshot share one cache-sized
    // group; tests make the groups small so that a few edges spread over many.
    void set_edges_per_group(std::size_t count) noexcept { edges_per_group_ = count == 0 ? 1 : count; }

    // Records the change on `diff` through its batches, the snapshots read
    // again through the same accessors (which must give what compute()
    // read). `done` counts the items applied over the four lists in order,
    // and before_item(k) runs before the k-th, as in the batches; out of
    // memory, std::bad_alloc leaves `diff` holding exactly the effect of
    // the first `done`.
    template <class OldNodes, class NewNodes, class OldEdges, class NewEdges, class BeforeItem>
    void apply(GraphDiff& diff, const OldNodes& old_nodes, const NewNodes& new_nodes, const OldEdges& old_edges,
               const NewEdges& new_edges, std::size_t& done, const BeforeItem& before_item) const;

private:
    using Rows = std::vector<std::uint32_t>;
    Rows deleted_nodes_;  // rows of old_nodes
    Rows updated_nodes_;  // rows of new_nodes
    Rows deleted_edges_;  // rows of old_edges
    Rows added_edges_;    // rows of new_edges
    std::size_t peak_table_bytes_ = 0;
    std::size_t edges_per_group_ = 4096;
};

namespace detail::snapshot {

// Calls visit(i, key) for each edge row in order, its ids interned. Row
// i + kAhead has its ids hashed and their slots fetched while row i is
// interned, so that the misses of consecutive rows overlap.
template <class Edges, class Visit>
void for_each_edge(IdTable& ids, const Edges& rows, Visit&& visit) {
    constexpr std::size_t kAhead = 16;
    constexpr std::size_t kRing = 32;  // > kAhead, a power of two
    struct Hashes {
        std::uint64_t source;
        std::uint64_t target;
    };
    std::array<Hashes, kRing> ring;
    const std::size_t n = rows.size;
    const auto hash_ahead = [&](std::size_t j) {
        Hashes& h = ring[j % kRing];
        h.source = hash_id(rows.source(j));
        h.target = hash_id(rows.target(j));
        ids.prefetch(h.source);
        ids.prefetch(h.target);
    };
    for (std::size_t j = 0; j < std::min(n, kAhead); ++j) hash_ahead(j);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) hash_ahead(i + kAhead);
        const Hashes& h = ring[i % kRing];
        const std::uint64_t s = ids.intern(rows.source(i), h.source);
        const std::uint64_t t = ids.intern(rows.target(i), h.target);
        visit(i, s << 32 | t);
    }
}

inline std::uint32_t weight_bits(float w) noexcept { return std::bit_cast<std::uint32_t>(w); }

}  // namespace detail::snapshot

template <class OldNodes, class NewNodes, class OldEdges, class NewEdges>
std::optional<SnapshotRefusal> SnapshotChange::compute(const OldNodes& old_nodes, const NewNodes& new_nodes,
                                                       const OldEdges& old_edges, const NewEdges& new_edges) {
    using namespace detail::snapshot;
    using Kind = SnapshotRefusal::Kind;
    using Arg = SnapshotArgument;
    deleted_nodes_.clear();
    updated_nodes_.clear();
    deleted_edges_.clear();
    added_edges_.clear();
    peak_table_bytes_ = 0;
    {
        const std::size_t sizes[] = {old_nodes.size, new_nodes.size, old_edges.size, new_edges.size};
        for (std::size_t a = 0; a < 4; ++a) {
            if (sizes[a] >= kMaxSnapshotRows) return SnapshotRefusal{Kind::too_many_rows, Arg(a), kMaxSnapshotRows};
        }
    }
    // Room for the nodes' ids; edges bring new ones rarely where both pairs
    // are given, and the table grows where they do.
    IdTable ids(std::max(old_nodes.size, new_nodes.size) + 1024);

    // The nodes: each id's row on either side.
    std::vector<std::uint32_t> old_index(old_nodes.size);
    for (std::size_t i = 0; i < old_nodes.size; ++i) {
        const NodeId& id = old_nodes.id(i);
        old_index[i] = ids.intern(id, hash_id(id));
        ids.cover_nodes();
        IdTable::Node& node = ids.node(old_index[i]);
        if (node.old_row != kNoRow) return SnapshotRefusal{Kind::duplicate_id, Arg::old_nodes, i};
        node.old_row = static_cast<std::uint32_t>(i);
    }
    for (std::size_t i = 0; i < new_nodes.size; ++i) {
        const NodeId& id = new_nodes.id(i);
        const std::uint32_t x = ids.intern(id, hash_id(id));
        ids.cover_nodes();
        IdTable::Node& node = ids.node(x);
        if (node.new_row != kNoRow) return SnapshotRefusal{Kind::duplicate_id, Arg::new_nodes, i};
        node.new_row = static_cast<std::uint32_t>(i);
        if (node.old_row == kNoRow || !same_json_text(old_nodes.update(node.old_row), new_nodes.update(i)))
            updated_nodes_.push_back(static_cast<std::uint32_t>(i));
    }
    // The ids step 1 deletes, as bits by index.
    const std::size_t node_ids = ids.size();
    std::vector<std::uint64_t> deleted(0);
    for (std::size_t i = 0; i < old_nodes.size; ++i) {
        if (ids.node(old_index[i]).new_row != kNoRow) continue;
        if (deleted.empty()) deleted.assign((node_ids + 63) / 64, 0);
        deleted[old_index[i] / 64] |= std::uint64_t{1} << (old_index[i] % 64);
        deleted_nodes_.push_back(static_cast<std::uint32_t>(i));
    }
    std::vector<std::uint32_t>().swap(old_index);
    const auto is_deleted = [&](std::uint64_t x) {
        return x < node_ids && ((deleted[x / 64] >> (x % 64)) & 1) != 0;
    };

    // The edges: keys made in row order, then grouped by their hash, so
    // that each group's table stays in cache (about 4096 edges of the
    // larger snapshot a group: a group's table holds its old edges and its
    // new ones, and were the groups counted by old edges alone, a first
    // snapshot's one group would hold every new edge, at 32 to 64 bytes
    // each); within a group the old edges go into the table and the new
    // ones probe it. Within a group the rows come in no order, so a
    // repeated key refuses the second smallest of its rows: each slot keeps
    // the smallest row seen, and a repeat offers the larger of the two.
    const std::size_t larger = std::max(old_edges.size, new_edges.size);
    const unsigned bits = std::min(20u, static_cast<unsigned>(std::bit_width(larger / edges_per_group_)));
    EdgeGroups old_groups(old_edges.size, bits), new_groups(new_edges.size, bits);
    for_each_edge(ids, old_edges, [&](std::size_t i, std::uint64_t key) { old_groups.set_key(i, key); });
    old_groups.group_rows([&](std::size_t i) { return weight_bits(old_edges.weight(i)); });
    std::size_t new_refused = kMaxSnapshotRows;  // the first new row refused
    Kind new_kind = Kind::deleted_endpoint;
    for_each_edge(ids, new_edges, [&](std::size_t i, std::uint64_t key) {
        new_groups.set_key(i, key);
        if (!deleted.empty() && i < new_refused && (is_deleted(key >> 32) || is_deleted(key & 0xffffffffu)))
            new_refused = i;
    });
    new_groups.group_rows([&](std::size_t i) { return weight_bits(new_edges.weight(i)); });
    peak_table_bytes_ = ids.memory_bytes() + old_groups.memory_bytes() + new_groups.memory_bytes();

    std::size_t old_refused = kMaxSnapshotRows;
    // The old rows a new edge matched; a matched slot then holds the new row.
    std::vector<std::uint64_t> seen((old_edges.size + 63) / 64, 0);
    constexpr std::uint32_t kNew = GroupTable::kNewRow;
    GroupTable table;
    for (std::size_t p = 0; p < old_groups.groups(); ++p) {
        table.reset(static_cast<std::size_t>(old_groups.end(p) - old_groups.begin(p)) +
                    static_cast<std::size_t>(new_groups.end(p) - new_groups.begin(p)));
        for (const Edge* e = old_groups.begin(p); e != old_groups.end(p); ++e) {
            Edge& slot = table.find(e->key);
            if (slot.key != GroupTable::kEmpty) {
                old_refused = std::min<std::size_t>(old_refused, std::max(slot.row, e->row));
                slot.row = std::min(slot.row, e->row);
                continue;
            }
            slot = *e;
        }
        for (const Edge* e = new_groups.begin(p); e != new_groups.end(p); ++e) {
            Edge& slot = table.find(e->key);
            if (slot.key == GroupTable::kEmpty) {
                slot = Edge{e->key, 0, e->row | kNew};
                added_edges_.push_back(e->row);
                continue;
            }
            if ((slot.row & kNew) != 0) {
                const std::uint32_t first = slot.row & ~kNew;
                if (const std::size_t repeat = std::max(first, e->row); repeat < new_refused) {
                    new_refused = repeat;
                    new_kind = Kind::duplicate_edge;
                }
                slot.row = std::min(first, e->row) | kNew;
                continue;
            }
            seen[slot.row / 64] |= std::uint64_t{1} << (slot.row % 64);
            if (slot.weight != e->weight) added_edges_.push_back(e->row);
            slot.row = e->row | kNew;
        }
    }
    peak_table_bytes_ += table.memory_bytes() + seen.capacity() * sizeof(std::uint64_t);
    if (old_refused != kMaxSnapshotRows) return SnapshotRefusal{Kind::duplicate_edge, Arg::old_edges, old_refused};
    if (new_refused != kMaxSnapshotRows) {
        // A repeated row comes after its first, which is refused first
        // when its endpoint is gone.
        return SnapshotRefusal{new_kind, Arg::new_edges, new_refused};
    }
    std::sort(added_edges_.begin(), added_edges_.end());
    for (std::size_t w = 0; w < seen.size(); ++w) {
        for (std::uint64_t unseen = ~seen[w]; unseen != 0; unseen &= unseen - 1) {
            const std::size_t row = 64 * w + static_cast<std::size_t>(std::countr_zero(unseen));
            if (row >= old_edges.size) break;
            deleted_edges_.push_back(static_cast<std::uint32_t>(row));
        }
    }
    return std::nullopt;
}

template <class OldNodes, class NewNodes, class OldEdges, class NewEdges, class BeforeItem>
void SnapshotChange::apply(GraphDiff& diff, const OldNodes& old_nodes, const NewNodes& new_nodes,
                           const OldEdges& old_edges, const NewEdges& new_edges, std::size_t& done,
                           const BeforeItem& before_item) const {
    done = 0;
    std::size_t part = 0;
    const auto before = [&](std::size_t i) { before_item(done + i); };
    // Each batch sets `part` as it returns or throws.
    const auto step = [&](auto&& batch) {
        part = 0;
        try {
            batch();
        } catch (...) {
            done += part;
            throw;
        }
        done += part;
    };
    const Rows& dn = deleted_nodes_;
    const Rows& un = updated_nodes_;
    const Rows& de = deleted_edges_;
    const Rows& ae = added_edges_;
    step([&] { diff.delete_nodes(dn.size(), [&](std::size_t i) -> decltype(auto) { return old_nodes.id(dn[i]); }, part, before); });
    step([&] {
        diff.set_node_updates(
            un.size(), [&](std::size_t i) -> decltype(auto) { return new_nodes.id(un[i]); },
            [&](std::size_t i) -> decltype(auto) { return new_nodes.update(un[i]); }, part, before);
    });
    step([&] {
        diff.delete_edges(
            de.size(), [&](std::size_t i) -> decltype(auto) { return old_edges.source(de[i]); },
            [&](std::size_t i) -> decltype(auto) { return old_edges.target(de[i]); }, part, before);
    });
    step([&] {
        diff.add_edges(
            ae.size(), [&](std::size_t i) -> decltype(auto) { return new_edges.source(ae[i]); },
            [&](std::size_t i) -> decltype(auto) { return new_edges.target(ae[i]); },
            [&](std::size_t i) { return new_edges.weight(ae[i]); }, part, before);
    });
}

}  // namespace tarnu
