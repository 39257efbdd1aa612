#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "node_update/node_update.hpp"

namespace tarnu {

// Why a text is not the JSON of a node update: the offset of the first byte
// that is wrong, counted from the start of the text, and a fixed reason.
struct NodeTextError {
    std::size_t offset;
    std::string_view reason;
};

// Reads back the text write_node_update_json writes, and only that text:
// valid UTF-8; an object without whitespace; known keys, each at most once
// and in the writer's order; strings with exactly the writer's escapes; a
// colour 0-255 in plain decimal; showLabel true or false; a size that is a
// float32's shortest text, or null (read as NaN). So every text accepted
// here is written back byte for byte from the update it yields. On error
// `out` holds whatever was read before it.
std::optional<NodeTextError> parse_node_update_json(std::string_view text, NodeUpdate& out);

// Offset of the first byte of `text` that is not part of well-formed UTF-8
// (no overlong forms, surrogates or code points above U+10FFFF), or nullopt.
std::optional<std::size_t> find_invalid_utf8(std::string_view text) noexcept;

}  // namespace tarnu
