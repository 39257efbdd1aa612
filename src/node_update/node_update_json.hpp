#pragma once

#include <cstddef>
#include <string>

#include "node_update/node_update.hpp"

namespace tarnu {

// Appends the compact JSON object of `update` to `out`: the present properties
// in the order "label", "size", "url", "red", "green", "blue", "showLabel",
// absent ones left out, no whitespace. A size that is NaN or infinite is
// written as null. In texts '"' and '\\' get a backslash, control bytes become
// \b \t \n \f \r or \u00xx (lower-case hex), and every other byte, '/', 0x7F
// and UTF-8 sequences included, is copied as it is. Equal updates always give
// the same bytes. Nothing about an update makes this fail; only growing `out`
// can throw (std::bad_alloc), and then `out` is left as it was.
void append_node_update_json(std::string& out, const NodeUpdate& update);

// The same text written through a raw pointer, for callers that manage their
// own storage: `out` must have room for node_update_json_bound(update) bytes
// (a bound, not the length, which is known only once written). Returns the
// end of the text.
std::size_t node_update_json_bound(const NodeUpdate& update) noexcept;
char* write_node_update_json(char* out, const NodeUpdate& update) noexcept;

}  // namespace tarnu
