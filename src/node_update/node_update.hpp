#pragma once

#include <optional>

#include "node_update/node_properties.hpp"

namespace tarnu {

struct NodeUpdateView;

// Display properties of one node, one field per row of TARNU_NODE_PROPERTIES
// (label, size, url, red, green, blue, show_label). Each field is present or
// absent on its own; an update with every field absent is valid. Texts are
// UTF-8. This is the owning form, for code that keeps an update on its own;
// the record stores updates in its compact form and hands them out as
// NodeUpdateView.
struct NodeUpdate {
#define TARNU_NODE_PROPERTY_FIELD(member, dict_key, json_key, kind, read_position) \
    std::optional<node_property::kind::Value> member;
    TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_FIELD)
#undef TARNU_NODE_PROPERTY_FIELD

    NodeUpdate() = default;
    // Copies the texts, so that readers written against the owning form
    // (a const NodeUpdate& parameter) accept what the record hands out.
    NodeUpdate(const NodeUpdateView& view);  // NOLINT(google-explicit-constructor)

    friend bool operator==(const NodeUpdate&, const NodeUpdate&) = default;
};

// The same properties with borrowed texts: valid while the bytes they point
// to are. This is what the record takes (it copies the texts into its own
// storage) and what it hands out (views into that storage, valid while the
// record is unchanged).
struct NodeUpdateView {
#define TARNU_NODE_PROPERTY_FIELD(member, dict_key, json_key, kind, read_position) \
    std::optional<node_property::kind::View> member;
    TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_FIELD)
#undef TARNU_NODE_PROPERTY_FIELD

    NodeUpdateView() = default;
    NodeUpdateView(const NodeUpdate& update) {  // NOLINT(google-explicit-constructor)
        for_each_node_property([&](auto property) {
            if (const auto& value = property.of(update)) property.of(*this).emplace(*value);
        });
    }

    friend bool operator==(const NodeUpdateView&, const NodeUpdateView&) = default;
    friend bool operator==(const NodeUpdateView& a, const NodeUpdate& b) { return a == NodeUpdateView(b); }
};

inline NodeUpdate::NodeUpdate(const NodeUpdateView& view) {
    for_each_node_property([&](auto property) {
        if (const auto& value = property.of(view)) property.of(*this).emplace(*value);
    });
}

}  // namespace tarnu
