#pragma once

#include "diff/graph_diff.hpp"
#include "diff/node_id.hpp"
#include "node_update/node_update_store.hpp"

namespace tarnu {

// The record the module keeps: UUID node ids, display updates (in the
// compact store), 32-bit weights.
using NodeGraphDiff = GraphDiff<NodeId, NodeUpdateStore, float>;

static_assert(sizeof(detail::IdState<NodeId, float>) + sizeof(NodeId) == 64, "one cache line per interned id");

extern template class GraphDiff<NodeId, NodeUpdateStore, float>;

}  // namespace tarnu
