#include "diff/node_graph_diff.hpp"

namespace tarnu {

template class GraphDiff<NodeId, NodeUpdateStore, float>;

}  // namespace tarnu
