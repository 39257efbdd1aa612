#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "diff/graph_diff.hpp"

namespace tarnu {

// Rebuilds a record from a walk of another: the decoder's way in.
//
// The encoder walks the four lists and every inner table in order, and every
// list and table keeps the order in which entries were appended (until
// something is removed). Appending the entries of a walk in the walk's order
// therefore rebuilds a record that walks, and encodes, the same way. The
// calls below do that, one entry each, into a record that was empty, the
// sections in encoding order: nodes, deleted nodes, then pending edges, then
// deleted edges. Each appends its entry at the end, or refuses it, with
// nothing changed, when it would repeat an entry or break an invariant; a
// source's targets follow the source they belong to (its handle). All throw
// std::bad_alloc only.
class DiffRestorer {
    using Id = NodeId;
    using W = detail::Weight;
    using UpdateView = GraphDiff::UpdateView;

public:
    enum class Refusal {
        repeated,             // the id or pair is already in this list or group
        updated_and_deleted,  // a deleted node that has an update
        deleted_endpoint,     // an edge to or from a deleted node
        added_and_deleted,    // a deleted edge that is also pending
    };
    using Restored = std::optional<Refusal>;  // nullopt when appended

    // `diff` must be empty, and outlive the restorer.
    explicit DiffRestorer(GraphDiff& diff) noexcept : d_(diff) {}

    // Room for the given numbers of entries in the four lists.
    void reserve(std::size_t nodes, std::size_t deleted_nodes, std::size_t sources, std::size_t deleted_sources) {
        d_.nodes_.reserve(nodes);
        d_.deleted_nodes_.reserve(deleted_nodes);
        d_.sources_.reserve(sources);
        d_.deleted_.reserve(deleted_sources);
    }

    Restored add_node(const Id& id, const UpdateView& update) {
        const std::uint64_t hash = hash_id(id);
        if (d_.nodes_.find(id, hash) != detail::kNoIndex) return Refusal::repeated;
        d_.nodes_.set(detail::kNoIndex, id, hash, update);
        return std::nullopt;
    }

    Restored add_deleted_node(const Id& id) {
        const std::uint32_t x = d_.intern(id);
        detail::IdState& s = d_.ids_[x];
        if (s.deleted_node_pos != detail::kNoIndex) return Refusal::repeated;
        if (d_.nodes_.find(id, hash_id(id)) != detail::kNoIndex) return Refusal::updated_and_deleted;
        detail::reserve_for(d_.deleted_nodes_, 1);
        d_.deleted_nodes_.push_back(x);
        s.deleted_node_pos = static_cast<std::uint32_t>(d_.deleted_nodes_.size() - 1);
        return std::nullopt;
    }

    // A source of new_or_updated with room for `targets` targets, which
    // follow through add_target(*handle, ...).
    Restored add_source(const Id& id, std::uint32_t targets, std::uint32_t* handle) {
        const std::uint32_t x = d_.intern(id);
        detail::IdState& s = d_.ids_[x];
        if (s.deleted_node_pos != detail::kNoIndex) return Refusal::deleted_endpoint;
        if (s.source_pos != detail::kNoIndex) return Refusal::repeated;
        detail::reserve_for(d_.sources_, 1);
        s.targets.reserve(targets, d_.blocks_);
        d_.add_source(x);
        *handle = x;
        return std::nullopt;
    }

    // Whether the source restored under `handle` (add_source's) has
    // deleted edges too. Operations leave a source with no pending targets
    // only when delete_node turned its last one into a deleted edge, so an
    // encoding may hold an empty group of pending edges only for such a
    // source.
    bool source_has_deleted_edges(std::uint32_t handle) const noexcept {
        return d_.ids_[handle].deleted_source_pos != detail::kNoIndex;
    }

    // Hashes a group of target ids into `hashes` for add_target, and
    // asks for the memory that restoring edges to them will touch, so that
    // the misses of the group overlap instead of queueing.
    void prefetch_targets(const Id* targets, std::size_t count, std::uint64_t* hashes) const noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            hashes[i] = hash_id(targets[i]);
            d_.ids_.prefetch_slot(hashes[i]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t x = d_.ids_.find(targets[i], hashes[i]);
            if (x != detail::kNoIndex) d_.ids_[x].incoming.prefetch();
        }
    }

    // `hash` is hash_id(to).
    Restored add_target(std::uint32_t source, const Id& to, std::uint64_t hash, W weight) {
        assert(source < d_.ids_.size() && d_.ids_[source].source_pos != detail::kNoIndex &&
               "a handle from add_source");
        const std::uint32_t t = d_.ids_.intern(to, hash);
        detail::IdState& ts = d_.ids_[t];
        if (ts.deleted_node_pos != detail::kNoIndex) return Refusal::deleted_endpoint;
        detail::IdState& fs = d_.ids_[source];
        fs.targets.reserve_one(d_.blocks_);
        ts.incoming.reserve_one(d_.blocks_);
        if (!fs.targets.insert_new(t, &weight)) return Refusal::repeated;
        ts.incoming.insert_absent(source);
        ++d_.pending_targets_;
        return std::nullopt;
    }

    // A source of deleted with room for `targets` targets (at least one,
    // since no set in deleted is empty), which follow through
    // add_deleted_target(*handle, ...).
    Restored add_deleted_source(const Id& id, std::uint32_t targets, std::uint32_t* handle) {
        const std::uint32_t x = d_.intern(id);
        if (d_.ids_[x].deleted_source_pos != detail::kNoIndex) return Refusal::repeated;
        detail::reserve_for(d_.deleted_, 1);
        detail::InnerTable<void> set;
        set.reserve(targets, d_.blocks_);
        d_.deleted_.push_back(detail::DeletedSource{x, std::move(set)});
        d_.ids_[x].deleted_source_pos = static_cast<std::uint32_t>(d_.deleted_.size() - 1);
        *handle = d_.ids_[x].deleted_source_pos;
        return std::nullopt;
    }

    Restored add_deleted_target(std::uint32_t handle, const Id& to) {
        assert(handle < d_.deleted_.size() && "a handle from add_deleted_source");
        const std::uint32_t t = d_.intern(to);
        detail::DeletedSource& e = d_.deleted_[handle];
        const detail::IdState& s = d_.ids_[e.source_index];
        if (s.source_pos != detail::kNoIndex && s.targets.contains(t)) return Refusal::added_and_deleted;
        e.targets.reserve_one(d_.blocks_);
        if (!e.targets.insert(t)) return Refusal::repeated;
        ++d_.deleted_targets_;
        return std::nullopt;
    }

private:
    GraphDiff& d_;
};

}  // namespace tarnu
