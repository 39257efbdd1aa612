#include "diff/graph_diff_checks.hpp"
#include "diff/node_graph_diff.hpp"

namespace tarnu {

template std::string NodeGraphDiff::check_invariants() const;
template std::string NodeGraphDiff::check_id(std::uint32_t, std::uint32_t) const;

}  // namespace tarnu
