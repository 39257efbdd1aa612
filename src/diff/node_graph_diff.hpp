#pragma once

#include "diff/graph_diff.hpp"

namespace tarnu {

// The record the module keeps (UUID node ids, display updates in the compact
// store, 32-bit weights), under the name its users know it by.
using NodeGraphDiff = GraphDiff;

}  // namespace tarnu
