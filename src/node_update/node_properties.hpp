#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tarnu {

// The display properties of a node, one row each. Everything that lists them
// is expanded from this table: the fields of NodeUpdate and NodeUpdateView,
// the JSON writer, its length count and its bound, the JSON reader, the node
// store's records, the interned dict keys, the conversion of an update dict
// and of update columns (add_node, add_nodes), a nodes snapshot's column
// names, and the dicts node_updates gives back.
//
//   member       the field of NodeUpdate and NodeUpdateView
//   dict key     the key of the update dict (and of a column of add_nodes)
//   JSON key     the key of the JSON member
//   kind         how a value is held, converted and written (below)
//   read order   where add_node reads the key from the dict: its keys are
//                read in a fixed order of their own, not the rows' order
//
// The rows' order is the order of the fields and of the JSON members.
//
// Adding a property: add its row where its JSON member goes, with the next
// read position. If none of the kinds fits, add a kind next to them; the
// compiler then points at every place that has to handle it (an overload per
// kind in the JSON writer and reader, the store, and the conversions of
// src/extension). The store keeps size's JSON text made in advance; another
// float property would be formatted when it is written.
#define TARNU_NODE_PROPERTIES(X)                          \
    X(label, "label", "label", Text, 0)                   \
    X(size, "size", "size", Float, 2)                     \
    X(url, "url", "url", Text, 1)                         \
    X(red, "red", "red", Colour, 3)                       \
    X(green, "green", "green", Colour, 4)                 \
    X(blue, "blue", "blue", Colour, 5)                    \
    X(show_label, "show_label", "showLabel", Flag, 6)

namespace node_property {

// The kinds: what an update holds (Value) and lends (View) for a property.
enum class KindId { text, float32, colour, flag };
struct Text {
    static constexpr KindId id = KindId::text;
    using Value = std::string;  // UTF-8
    using View = std::string_view;
};
struct Float {
    static constexpr KindId id = KindId::float32;
    using Value = float;
    using View = float;
};
struct Colour {  // a channel, 0 to 255
    static constexpr KindId id = KindId::colour;
    using Value = std::uint8_t;
    using View = std::uint8_t;
};
struct Flag {
    static constexpr KindId id = KindId::flag;
    using Value = bool;
    using View = bool;
};

namespace row {
#define TARNU_NODE_PROPERTY_ROW(member, dict_key, json_key, kind, read_position) member,
enum : std::size_t { TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_ROW) count };
#undef TARNU_NODE_PROPERTY_ROW
}  // namespace row

inline constexpr std::size_t kCount = row::count;

#define TARNU_NODE_PROPERTY_ROW(member, dict_key, json_key, kind, read_position) kind::id,
inline constexpr KindId kKindOfRow[kCount] = {TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_ROW)};
#undef TARNU_NODE_PROPERTY_ROW

#define TARNU_NODE_PROPERTY_ROW(member, dict_key, json_key, kind, read_position) read_position,
inline constexpr std::size_t kReadPositionOfRow[kCount] = {TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_ROW)};
#undef TARNU_NODE_PROPERTY_ROW

// How many properties are of `kind`.
constexpr std::size_t count_of(KindId kind) noexcept {
    std::size_t n = 0;
    for (const KindId k : kKindOfRow) n += k == kind;
    return n;
}

// The row's place among the rows of its kind.
constexpr std::size_t slot_of(std::size_t row) noexcept {
    std::size_t n = 0;
    for (std::size_t r = 0; r < row; ++r) n += kKindOfRow[r] == kKindOfRow[row];
    return n;
}

// The row read at each read position; the positions must be 0 to kCount - 1,
// each once.
inline constexpr std::array<std::size_t, kCount> kRowAtReadPosition = [] {
    std::array<std::size_t, kCount> rows{};
    for (std::size_t r = 0; r < kCount; ++r) rows[kReadPositionOfRow[r]] = r;
    return rows;
}();
static_assert(
    [] {
        std::array<bool, kCount> taken{};
        for (const std::size_t position : kReadPositionOfRow) {
            if (position >= kCount || taken[position]) return false;
            taken[position] = true;
        }
        return true;
    }(),
    "the read positions of the node properties are not 0 to count - 1, each once");

// One type per row, whose static members describe it:
//   Kind, index (its row), slot (its place among its kind), read_position,
//   dict_key, json_key, quoted_json_key ("\"label\":", what the JSON writer
//   puts before a value), and of(update), the field of an update.
#define TARNU_NODE_PROPERTY_ROW(member_, dict_key_, json_key_, kind_, read_position_)          \
    struct member_ {                                                                           \
        using Kind = kind_;                                                                    \
        static constexpr std::size_t index = row::member_;                                     \
        static constexpr std::size_t slot = slot_of(index);                                    \
        static constexpr std::size_t read_position = read_position_;                           \
        static constexpr const char* dict_key = dict_key_;                                     \
        static constexpr std::string_view json_key = json_key_;                                \
        static constexpr char quoted_json_key[] = "\"" json_key_ "\":";                        \
        template <class Update>                                                                \
        static constexpr auto& of(Update& update) noexcept {                                   \
            return update.member_;                                                             \
        }                                                                                      \
    };
TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_ROW)
#undef TARNU_NODE_PROPERTY_ROW

template <std::size_t Row>
struct At;
#define TARNU_NODE_PROPERTY_ROW(member, dict_key, json_key, kind, read_position) \
    template <>                                                                  \
    struct At<row::member> {                                                     \
        using type = member;                                                     \
    };
TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_ROW)
#undef TARNU_NODE_PROPERTY_ROW

// Always inlined, so that the caller's lambda is too and its state stays in
// registers: the JSON writer and the store run these per update.
template <class F, std::size_t... Row>
[[gnu::always_inline]] constexpr void for_each_row(F& f, std::index_sequence<Row...>) {
    (f(typename At<Row>::type{}), ...);
}

template <class F, std::size_t... Position>
[[gnu::always_inline]] constexpr void for_each_read_position(F& f, std::index_sequence<Position...>) {
    (f(typename At<kRowAtReadPosition[Position]>::type{}), ...);
}

}  // namespace node_property

inline constexpr std::size_t kNodePropertyCount = node_property::kCount;

// Calls f(P{}) for each property P of the table, in the rows' order (that of
// the fields and the JSON members). Expanded at compile time: no loop, no
// table lookup.
template <class F>
[[gnu::always_inline]] constexpr void for_each_node_property(F&& f) {
    node_property::for_each_row(f, std::make_index_sequence<kNodePropertyCount>{});
}

// The same in the order in which add_node reads the keys of its dict.
template <class F>
[[gnu::always_inline]] constexpr void for_each_node_property_in_read_order(F&& f) {
    node_property::for_each_read_position(f, std::make_index_sequence<kNodePropertyCount>{});
}

}  // namespace tarnu
