#include "diff/graph_diff.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tarnu {

void GraphDiff::clear() noexcept {
#ifdef TARNU_CHECK_INVARIANTS
    const AfterOperation checked_after_operation(*this, "clear");
#endif
    // Ids the contents name, counted with repeats: an upper bound on the
    // ids a similar fill interns (node updates intern none).
    const std::size_t named = deleted_nodes_.size() + sources_.size() + pending_targets_ +
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

GraphDiff GraphDiff::clone() const {
    GraphDiff copy;
    // Positions first, tables after: the copy's destructor can drop a
    // half-made copy, since every table in it is whole or empty.
    copy.ids_ = ids_.clone([](const State& s) {
        State c;
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
#ifdef TARNU_CHECK_INVARIANTS
    copy.check_after("clone", nullptr, nullptr);
#endif
    return copy;
}

void GraphDiff::drop_sources_without_targets() noexcept {
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


void GraphDiff::discard_tables() noexcept {
    for (std::uint32_t i = 0; i < ids_.size(); ++i) {
        ids_[i].targets.discard(blocks_);
        ids_[i].incoming.discard(blocks_);
    }
    for (DeletedEntry& e : deleted_) e.targets.discard(blocks_);
}


}  // namespace tarnu
