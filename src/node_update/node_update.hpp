#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnu {

struct NodeUpdateView;

// Display properties of one node. Each field is present or absent on its own;
// an update with every field absent is valid. Texts are UTF-8. This is the
// owning form, for code that keeps an update on its own; the record stores
// updates in its compact form and hands them out as NodeUpdateView.
struct NodeUpdate {
    std::optional<std::string> label;
    std::optional<float> size;
    std::optional<std::string> url;
    std::optional<std::uint8_t> red;
    std::optional<std::uint8_t> green;
    std::optional<std::uint8_t> blue;
    std::optional<bool> show_label;

    NodeUpdate() = default;
    // Copies the texts, so that readers written against the owning form
    // (a const NodeUpdate& parameter) accept what the record hands out.
    NodeUpdate(const NodeUpdateView& view);  // NOLINT(google-explicit-constructor)

    friend bool operator==(const NodeUpdate&, const NodeUpdate&) = default;
};

// The same seven properties with borrowed texts: valid while the bytes they
// point to are. This is what the record takes (it copies the texts into its
// own storage) and what it hands out (views into that storage, valid while
// the record is unchanged).
struct NodeUpdateView {
    std::optional<std::string_view> label;
    std::optional<float> size;
    std::optional<std::string_view> url;
    std::optional<std::uint8_t> red;
    std::optional<std::uint8_t> green;
    std::optional<std::uint8_t> blue;
    std::optional<bool> show_label;

    NodeUpdateView() = default;
    NodeUpdateView(const NodeUpdate& update)  // NOLINT(google-explicit-constructor)
        : size(update.size), red(update.red), green(update.green), blue(update.blue), show_label(update.show_label) {
        if (update.label) label = std::string_view(*update.label);
        if (update.url) url = std::string_view(*update.url);
    }

    friend bool operator==(const NodeUpdateView&, const NodeUpdateView&) = default;
    friend bool operator==(const NodeUpdateView& a, const NodeUpdate& b) { return a == NodeUpdateView(b); }
};

inline NodeUpdate::NodeUpdate(const NodeUpdateView& view)
    : size(view.size), red(view.red), green(view.green), blue(view.blue), show_label(view.show_label) {
    if (view.label) label.emplace(*view.label);
    if (view.url) url.emplace(*view.url);
}

}  // namespace tarnu
