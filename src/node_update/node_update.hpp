#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnu {

// Display properties of one node. Each field is present or absent on its own;
// an update with every field absent is valid. Texts are UTF-8.
struct NodeUpdate {
    std::optional<std::string> label;
    std::optional<float> size;
    std::optional<std::string> url;
    std::optional<std::uint8_t> red;
    std::optional<std::uint8_t> green;
    std::optional<std::uint8_t> blue;
    std::optional<bool> show_label;

    friend bool operator==(const NodeUpdate&, const NodeUpdate&) = default;
};

}  // namespace tarnu
