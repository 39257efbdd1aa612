#pragma once

// A stand-in record with the read views of GraphDiff, kept in plain vectors in
// the order the test fills them. It lets the encoder be tested on exact,
// hand-made contents (including ones the real record's operations would never
// produce) without the diff core.

#include <cstddef>
#include <utility>
#include <vector>

#include "diff/node_id.hpp"
#include "node_update/node_update.hpp"

namespace tarnu::testing {

template <class Entry>
struct FakeView {
    const std::vector<Entry>* entries;
    std::size_t size() const { return entries->size(); }
    // For the edge views: entries over all inner collections.
    std::size_t num_targets() const {
        std::size_t total = 0;
        for (const Entry& e : *entries) total += e.second.size();
        return total;
    }
    template <class F>
    void for_each(F&& f) const {
        for (const Entry& e : *entries) call(f, e);
    }

private:
    template <class F, class A, class B>
    static void call(F& f, const std::pair<A, B>& e) { f(e.first, e.second); }
    template <class F>
    static void call(F& f, const NodeId& id) { f(id); }
};

struct FakeTargets {
    std::vector<std::pair<NodeId, float>> weighted;
    std::size_t size() const { return weighted.size(); }
    template <class F>
    void for_each(F&& f) const {
        for (const auto& [id, w] : weighted) f(id, w);
    }
};

struct FakeDeletedTargets {
    std::vector<NodeId> ids;
    std::size_t size() const { return ids.size(); }
    template <class F>
    void for_each(F&& f) const {
        for (const NodeId& id : ids) f(id);
    }
};

struct FakeGraphDiff {
    std::vector<std::pair<NodeId, NodeUpdate>> node_entries;
    std::vector<NodeId> deleted_node_ids;
    std::vector<std::pair<NodeId, FakeTargets>> new_or_updated_entries;
    std::vector<std::pair<NodeId, FakeDeletedTargets>> deleted_edge_entries;

    struct Edges {
        const FakeGraphDiff* diff;
        FakeView<std::pair<NodeId, FakeTargets>> new_or_updated() const {
            return {&diff->new_or_updated_entries};
        }
        FakeView<std::pair<NodeId, FakeDeletedTargets>> deleted() const {
            return {&diff->deleted_edge_entries};
        }
    };

    FakeView<std::pair<NodeId, NodeUpdate>> nodes() const { return {&node_entries}; }
    FakeView<NodeId> deleted_nodes() const { return {&deleted_node_ids}; }
    Edges edges() const { return {this}; }
};

}  // namespace tarnu::testing
