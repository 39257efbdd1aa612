#pragma once

#include <string>

#include "node_update/node_update_json.hpp"

namespace tarnu::testing {

// The JSON text of one update, written by the exact writer into an area of
// the writer's upper bound (so that a wrong count cannot write out of it).
inline std::string node_update_json_text(const NodeUpdateView& update) {
    std::string text(node_update_json_bound(update), '\0');
    text.resize(static_cast<std::size_t>(write_node_update_json_exact(text.data(), update) - text.data()));
    return text;
}

}  // namespace tarnu::testing
