#pragma once

#include "diff/graph_diff.hpp"
#include "diff/node_id.hpp"
#include "node_update/node_update.hpp"

namespace tarnu {

// The record the module keeps: UUID node ids, display updates, 32-bit weights.
using NodeGraphDiff = GraphDiff<NodeId, NodeUpdate, float>;

static_assert(sizeof(detail::IdState<NodeId, float>) + sizeof(NodeId) == 64, "one cache line per interned id");

extern template class GraphDiff<NodeId, NodeUpdate, float>;

}  // namespace tarnu
