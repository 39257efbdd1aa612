#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "diff/graph_diff.hpp"

namespace tarnu {

// Why some bytes are not an encoded diff: the offset of the first byte that
// is wrong (or of the item that is missing), and the reason, for people.
struct DecodeError {
    std::size_t offset;
    std::string reason;
};

using DecodeResult = std::variant<GraphDiff, DecodeError>;

// The record that DiffEncoding encoded as these bytes, rebuilt entry
// by entry in the encoding's order, so that it encodes to the very same
// bytes. Accepts exactly what the encoder can write, and refuses anything
// else with the first fault found: bytes missing or left over, an id length
// other than 16, a text running past the end, a node text that is not the
// encoder's JSON (see parse_node_update_json), a node both updated and
// deleted, a pending edge with a deleted endpoint, an edge both pending and
// deleted, an empty group of deleted edges, an id or pair listed twice in
// one section or group.
//
// Reads only the `size` bytes at `data`. Every count is checked against the
// bytes left before anything is reserved for it, so what it allocates stays
// in proportion to `size`. Throws only std::bad_alloc.
DecodeResult graph_diff_from_bytes(const std::uint8_t* data, std::size_t size);

}  // namespace tarnu
