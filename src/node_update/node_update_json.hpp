#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "node_update/float_text.hpp"
#include "node_update/node_update.hpp"

namespace tarnu {

// The compact JSON object of `update`: the present properties in the order
// "label", "size", "url", "red", "green", "blue", "showLabel", absent ones
// left out, no whitespace. A size that is NaN or infinite is written as null.
// In texts '"' and '\\' get a backslash, control bytes become \b \t \n \f \r
// or \u00xx (lower-case hex), and every other byte, '/', 0x7F and UTF-8
// sequences included, is copied as it is. Equal updates always give the same
// bytes, and nothing about an update makes writing fail.

// The exact length of that text, counted without writing it: escapes are
// counted, and only the size's digits are laid out (on the stack).
std::uint64_t node_update_json_length(const NodeUpdateView& update) noexcept;
// The same when the size's text (write_size_text) is already known.
std::uint64_t node_update_json_length(const NodeUpdateView& update, std::size_t size_text_length) noexcept;

// The text of a size as the JSON has it: the float text, or null when it is
// not finite. `out` must hold kFloatTextCapacity bytes; returns the length.
std::size_t write_size_text(char* out, float size) noexcept;

// The text written through a raw pointer into storage the caller sized.
// Both return the end of the text.
//
// write_node_update_json writes some pieces as fixed-size blocks and may
// overwrite up to kNodeUpdateJsonOverrun bytes past the end of the text; it
// needs room for the text and that much more, or for
// node_update_json_bound(update) bytes, whichever is known.
// write_node_update_json_exact writes exactly the text and nothing past it.
inline constexpr std::size_t kNodeUpdateJsonOverrun = kFloatTextCapacity;
std::size_t node_update_json_bound(const NodeUpdateView& update) noexcept;
char* write_node_update_json(char* out, const NodeUpdateView& update) noexcept;
char* write_node_update_json_exact(char* out, const NodeUpdateView& update) noexcept;
// The same with the size's text made in advance (write_size_text), so that
// no float is formatted while rendering. The fast form reads
// kFloatTextCapacity bytes from size_text.data(), whatever its length.
char* write_node_update_json(char* out, const NodeUpdateView& update, std::string_view size_text) noexcept;
char* write_node_update_json_exact(char* out, const NodeUpdateView& update, std::string_view size_text) noexcept;

}  // namespace tarnu
