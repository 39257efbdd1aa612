#pragma once

// The Arrow types this module reads and writes, and what each one is: its
// format text, its name in messages, how its array lies in its buffers,
// what kind of value it holds and which readers take it. One row per type,
// in kArrowTypes; the parser, the layout checks, the messages, the readers
// and the export all look a type up there, once per column. A new type is
// a row here and, where it is read, a branch in its reader.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnu {

// The types whose arrays are read. Anything else is refused by name. The
// order is kArrowTypes's.
enum class ArrowType : std::uint8_t {
    boolean,
    int8, uint8, int16, uint16, int32, uint32, int64, uint64,
    float16, float32, float64,
    binary, large_binary, binary_view,
    utf8, large_utf8, utf8_view,
    fixed_size_binary,
    decimal,  // "d:P,S" (128 bits) and "d:P,S,N" for N of 32, 64, 128 or 256
    null,     // "n": no buffers, every item null
    structure,
};

// How an array of the type lies in its buffers, after the validity bitmap.
enum class ArrowLayout : std::uint8_t {
    none,       // no buffer at all (null)
    bits,       // a bit per value (boolean)
    fixed,      // value_bytes per value, or the format's width (w:N, d:...)
    offsets32,  // int32 offsets, then the data
    offsets64,  // int64 offsets, then the data
    views,      // 16-byte views, the variadic data buffers, their sizes
    children,   // nothing: the values are the children's (struct)
};

// What a value is, as a reader takes it.
enum class ArrowKind : std::uint8_t {
    flag, signed_integer, unsigned_integer, floating, decimal, bytes, text, null, structure,
};

// The readers that take a type (a bit each). A null column is taken by
// every reader, which each treat its items as nulls; fixed_size_binary is
// taken as ids only at a width of 16, which the reader checks.
namespace arrow_reader {
inline constexpr std::uint8_t ids = 1;      // read_arrow_ids
inline constexpr std::uint8_t numbers = 2;  // read_arrow_weights, read_arrow_floats
inline constexpr std::uint8_t colours = 4;  // read_arrow_colours
inline constexpr std::uint8_t texts = 8;    // read_arrow_texts
inline constexpr std::uint8_t flags = 16;   // read_arrow_flags
inline constexpr std::uint8_t all = 31;
}  // namespace arrow_reader

struct ArrowTypeFacts {
    ArrowType type;
    // The whole format text, or for a type with parameters the text before
    // them ("w:", "d:"), which is parsed by hand.
    std::string_view format;
    // The name in messages; a type with parameters adds them ("decimal" ->
    // "decimal128(10, 2)").
    std::string_view name;
    // The array's buffers, the validity bitmap's slot among them; for the
    // views the least number (the variadic buffers come on top).
    std::uint8_t n_buffers;
    // Bytes of one value in the values buffer; 0 for bits, views, offsets,
    // and a width the format gives.
    std::uint8_t value_bytes;
    ArrowLayout layout;
    ArrowKind kind;
    std::uint8_t readers;

    constexpr bool parameterised() const noexcept { return !format.empty() && format.back() == ':'; }
};

namespace arrow_types_detail {
using L = ArrowLayout;
using K = ArrowKind;
namespace r = arrow_reader;
constexpr std::uint8_t kNumber = r::numbers | r::colours;
}  // namespace arrow_types_detail

inline constexpr auto kArrowTypes = [] {
    using namespace arrow_types_detail;
    using T = ArrowType;
    return std::array<ArrowTypeFacts, 22>{{
        {T::boolean, "b", "bool", 2, 0, L::bits, K::flag, r::flags},
        {T::int8, "c", "int8", 2, 1, L::fixed, K::signed_integer, kNumber},
        {T::uint8, "C", "uint8", 2, 1, L::fixed, K::unsigned_integer, kNumber},
        {T::int16, "s", "int16", 2, 2, L::fixed, K::signed_integer, kNumber},
        {T::uint16, "S", "uint16", 2, 2, L::fixed, K::unsigned_integer, kNumber},
        {T::int32, "i", "int32", 2, 4, L::fixed, K::signed_integer, kNumber},
        {T::uint32, "I", "uint32", 2, 4, L::fixed, K::unsigned_integer, kNumber},
        {T::int64, "l", "int64", 2, 8, L::fixed, K::signed_integer, kNumber},
        {T::uint64, "L", "uint64", 2, 8, L::fixed, K::unsigned_integer, kNumber},
        {T::float16, "e", "float16", 2, 2, L::fixed, K::floating, r::numbers},
        {T::float32, "f", "float32", 2, 4, L::fixed, K::floating, r::numbers},
        {T::float64, "g", "float64", 2, 8, L::fixed, K::floating, r::numbers},
        {T::binary, "z", "binary", 3, 0, L::offsets32, K::bytes, r::ids},
        {T::large_binary, "Z", "large_binary", 3, 0, L::offsets64, K::bytes, r::ids},
        {T::binary_view, "vz", "binary_view", 3, 0, L::views, K::bytes, r::ids},
        {T::utf8, "u", "utf8", 3, 0, L::offsets32, K::text, r::ids | r::texts},
        {T::large_utf8, "U", "large_utf8", 3, 0, L::offsets64, K::text, r::ids | r::texts},
        {T::utf8_view, "vu", "string_view", 3, 0, L::views, K::text, r::ids | r::texts},
        {T::fixed_size_binary, "w:", "fixed_size_binary", 2, 0, L::fixed, K::bytes, r::ids},
        {T::decimal, "d:", "decimal", 2, 0, L::fixed, K::decimal, r::numbers},
        {T::null, "n", "null", 0, 0, L::none, K::null, r::all},
        {T::structure, "+s", "struct", 1, 0, L::children, K::structure, 0},
    }};
}();

constexpr const ArrowTypeFacts& arrow_type_facts(ArrowType type) noexcept {
    return kArrowTypes[static_cast<std::size_t>(type)];
}

static_assert(kArrowTypes.size() == static_cast<std::size_t>(ArrowType::structure) + 1,
              "every ArrowType has its row");
static_assert([] {
    for (std::size_t i = 0; i < kArrowTypes.size(); ++i) {
        const ArrowTypeFacts& row = kArrowTypes[i];
        if (static_cast<std::size_t>(row.type) != i || row.format.empty() || row.name.empty()) return false;
        // A layout's buffers: the values of a fixed type have a width, from
        // the row or from the format.
        if (row.layout == ArrowLayout::fixed && (row.value_bytes == 0) != row.parameterised()) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (kArrowTypes[j].format == row.format || kArrowTypes[j].name == row.name) return false;
        }
    }
    return true;
}(), "the rows are in ArrowType's order, each with its own format and name");

// A parsed format: its type, its row's layout (kept here so that a per-item
// read switches on it without a look-up) and the parameters of its format.
struct ArrowFormat {
    ArrowType type = ArrowType::null;
    ArrowLayout layout = ArrowLayout::none;
    std::int32_t byte_width = 0;  // fixed_size_binary; a decimal's 4, 8, 16 or 32
    std::int32_t precision = 0;   // decimal only
    std::int32_t scale = 0;       // decimal only: the value is the integer times 10^-scale

    constexpr ArrowFormat() noexcept = default;
    constexpr ArrowFormat(ArrowType t, std::int32_t width = 0, std::int32_t p = 0, std::int32_t s = 0) noexcept
        : type(t), layout(arrow_type_facts(t).layout), byte_width(width), precision(p), scale(s) {}

    constexpr const ArrowTypeFacts& facts() const noexcept { return arrow_type_facts(type); }
};

// The format as an error names it: "fixed_size_binary(16)", "utf8".
std::string arrow_type_name(const ArrowFormat& format);
// The format's text, which parse_arrow_format reads back: "w:16", "u".
std::string arrow_format_text(const ArrowFormat& format);

}  // namespace tarnu
