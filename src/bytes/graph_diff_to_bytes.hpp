#pragma once

#include "bytes/diff_encoding.hpp"
#include "diff/node_graph_diff.hpp"

namespace tarnu {

// The encoding of the module's record, in two steps (see DiffEncoding):
//   const NodeGraphDiffEncoding encoding(diff);
//   ... allocate encoding.size() bytes ...
//   if (encoding.write_to(out)) -> error
using NodeGraphDiffEncoding = DiffEncoding<NodeGraphDiff>;

// The complete encoding of `diff` in one buffer allocated once at its exact
// size. No content of a diff makes this fail; std::bad_alloc propagates and
// the diff is never changed.
EncodeResult graph_diff_to_bytes(const NodeGraphDiff& diff);

extern template class DiffEncoding<NodeGraphDiff>;

}  // namespace tarnu
