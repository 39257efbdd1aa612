#pragma once

#include "bytes/diff_encoding.hpp"
#include "diff/node_graph_diff.hpp"

namespace tarnu {

// The encoding of the module's record, in two steps (see DiffEncoding):
//   const NodeGraphDiffEncoding encoding(diff);
//   ... allocate encoding.size() bytes ...
//   if (encoding.write_to(out)) -> error
// No content of a diff makes write_to fail, and the diff is never changed.
using NodeGraphDiffEncoding = DiffEncoding<NodeGraphDiff>;

extern template class DiffEncoding<NodeGraphDiff>;

}  // namespace tarnu
