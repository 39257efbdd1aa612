#include "bytes/graph_diff_to_bytes.hpp"

namespace tarnu {

template class DiffEncoding<NodeGraphDiff>;

}  // namespace tarnu
