#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "diff/diff_state.hpp"
#include "basics/prefetch.hpp"

namespace tarnu {

class GraphDiff;

// The edge changes of a GraphDiff, as a read view: `new_or_updated` maps a
// source to its targets and weights, `deleted` a source to the targets whose
// edges are to be deleted.
class EdgeDiff {
    using Id = NodeId;
    using W = detail::Weight;
    using Pool = detail::IdStatePool;
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

}  // namespace tarnu
