#include "bytes/graph_diff_to_bytes.hpp"

namespace tarnu {

template class DiffEncoding<NodeGraphDiff>;

EncodeResult graph_diff_to_bytes(const NodeGraphDiff& diff) { return encode_graph_diff(diff); }

}  // namespace tarnu
