#pragma once

// Reading Arrow arrays that another library made. Everything here treats
// the structs as hostile input, like a decoded payload: the format string is
// parsed strictly, and the buffer count, children, length, offset, validity
// and every offset or view are checked before a value is read. A refusal
// throws ArrowInputError; nothing here knows Python.
//
// The C data interface carries no buffer sizes. What can be checked is
// checked: counts, pointers, offsets that start at or above zero and never
// decrease, view references within their variadic buffer's stated size, and
// a struct's children long enough for the struct. The size of a flat array's
// buffers is what its length and offsets say it is.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrow/arrow_abi.hpp"
#include "arrow/arrow_types.hpp"
#include "basics/node_id.hpp"

namespace tarnu {

// A refused Arrow input. `item` is the index of the offending item when one
// is to blame (counted over every chunk), or kNoItem.
struct ArrowInputError {
    enum class Kind { value, overflow };
    static constexpr std::size_t kNoItem = static_cast<std::size_t>(-1);
    Kind kind = Kind::value;
    std::string message;
    std::size_t item = kNoItem;
};

[[noreturn]] void throw_arrow_error(std::string message);
[[noreturn]] void throw_arrow_item_error(std::size_t item, std::string message,
                                         ArrowInputError::Kind kind = ArrowInputError::Kind::value);

// An imported ArrowSchema, ArrowArray or ArrowArrayStream, owned: its release
// callback runs exactly once, when the holder is reset or goes, whatever
// path the caller took. Moving it moves the base struct, which the
// interface allows, and marks the source released.
template <class Struct>
class ArrowOwned {
public:
    ArrowOwned() noexcept { value_.release = nullptr; }
    ArrowOwned(const ArrowOwned&) = delete;
    ArrowOwned& operator=(const ArrowOwned&) = delete;
    ArrowOwned(ArrowOwned&& other) noexcept : value_(other.value_) { other.value_.release = nullptr; }
    ArrowOwned& operator=(ArrowOwned&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = other.value_;
            other.value_.release = nullptr;
        }
        return *this;
    }
    ~ArrowOwned() { reset(); }

    // Takes over `source` (which is then marked released, as a moved struct).
    void take(Struct* source) noexcept {
        reset();
        value_ = *source;
        source->release = nullptr;
    }
    // The struct, for reading or for a producer to fill (after reset()).
    Struct* get() noexcept { return &value_; }
    const Struct& operator*() const noexcept { return value_; }
    const Struct* operator->() const noexcept { return &value_; }
    bool held() const noexcept { return value_.release != nullptr; }

    // Calls the release callback once. A callback that comes back here (it
    // may run arbitrary code) finds the struct already marked released.
    void reset() noexcept {
        auto* release = value_.release;
        if (release == nullptr) return;
        Struct copy = value_;
        value_.release = nullptr;
        release(&copy);
    }

private:
    Struct value_{};
};

using OwnedArrowSchema = ArrowOwned<ArrowSchema>;
using OwnedArrowArray = ArrowOwned<ArrowArray>;
using OwnedArrowStream = ArrowOwned<ArrowArrayStream>;

// The float32 that add_edge and add_node make of a number equal to the
// float32 `f`: a signalling NaN comes out quiet, as the conversion through a
// Python float (a double) makes it. A compiler may fold a float -> double ->
// float round trip away, so the bit is set here.
inline float as_converted_f32(float f) noexcept {
    if (f != f) [[unlikely]] {
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        bits |= 0x00400000u;
        std::memcpy(&f, &bits, sizeof f);
    }
    return f;
}

// Parses a format string of the C data interface. Throws ArrowInputError
// "unsupported Arrow format '{f}'" for a well-formed format of another type
// (a timestamp, a list) and "malformed Arrow format '{f}'" otherwise.
ArrowFormat parse_arrow_format(const char* format);

// A flat array that passed every check: item i (0 <= i < length) is at
// offset + i in the buffers.
struct ArrowColumn {
    ArrowFormat format{};
    std::size_t length = 0;
    std::size_t offset = 0;
    const std::uint8_t* validity = nullptr;  // null: no item is null
    const void* values = nullptr;            // values, offsets or views
    const std::uint8_t* data = nullptr;      // binary and utf8 data
    const void* const* variadic = nullptr;   // view types' data buffers
    std::size_t variadic_count = 0;

    bool valid(std::size_t i) const noexcept {
        if (validity == nullptr) return true;
        const std::size_t bit = offset + i;
        return ((validity[bit >> 3] >> (bit & 7)) & 1) != 0;
    }
    // Index of the first null item, or length.
    std::size_t first_null() const noexcept;
    // The bytes of item i of a binary, utf8 or view column.
    std::string_view bytes_of(std::size_t i) const noexcept;
    // The bytes of item i of a fixed_size_binary column.
    const std::uint8_t* fixed_of(std::size_t i) const noexcept {
        return static_cast<const std::uint8_t*>(values) +
               (offset + i) * static_cast<std::size_t>(format.byte_width);
    }
};

// What an argument takes: a column (a flat array, or a struct array of
// exactly one child, as a one-column table or record batch comes, read as
// that child), a struct array (a record batch) with a column per child, or
// a flat array alone (a batch's child: a struct there is refused, so that
// no chain of children is followed).
enum class ArrowShape { column, batch, flat };

// Checks a schema alone, as every array of it is checked first: its format
// (a struct for a batch, anything else for a column), no dictionary, and its
// children (a batch's each there). A stream of no chunks is checked so. For
// a column that comes as a struct of one child, the child's format.
ArrowFormat check_arrow_schema(const ArrowSchema& schema, ArrowShape shape);

// The items of all chunks. Reads only the structs themselves (their length
// and offset), which the caller owns: a producer cannot change them. Refuses
// a chunk whose length or offset is out of range, and a total of more items
// than any one array may hold, before anything is sized from it.
std::size_t arrow_chunks_length(const std::vector<ArrowOwned<ArrowArray>>& arrays);

// Checks a column against its schema (a flat array: no children, no
// dictionary; or a struct of one such child, whose view it returns) and
// returns its view. An extension type is read as its storage type.
ArrowColumn check_arrow_column(const ArrowSchema& schema, const ArrowArray& array);
// The checks of check_arrow_column that read no item (format, counts,
// pointers, length, offset): no offset or view is checked, so the view it
// returns is not for reading.
ArrowColumn check_arrow_column_layout(const ArrowSchema& schema, const ArrowArray& array);

// A struct array (a record batch) that passed its own checks: its children
// are checked one by one, when they are read.
struct ArrowBatch {
    const ArrowSchema* schema = nullptr;
    const ArrowArray* array = nullptr;
    std::size_t length = 0;
    std::size_t offset = 0;
};
ArrowBatch check_arrow_batch(const ArrowSchema& schema, const ArrowArray& array);
// Child `index` of the batch, a flat array, as a column of the batch's
// length, the batch's offset applied.
ArrowColumn check_arrow_batch_child(const ArrowBatch& batch, std::size_t index);

// Whether the schema's format is a struct ("+s").
bool is_arrow_struct(const ArrowSchema& schema);

// The format texts of a checked schema and of its children, joined. The
// texts lie in the producer's memory: a caller that checks a schema, runs
// Python code, then reads compares them, since a wider type over the same
// buffers ("C" become "i") would read past them and no check of the array
// could tell.
std::string arrow_schema_formats(const ArrowSchema& schema);

// The names of the columns that pandas made of a data frame's index
// ("__index_level_0__", or the index's own name), from the schema's
// metadata: the key "pandas", a JSON object whose "index_columns" lists
// them (a range index is a JSON object there, and names no column). Empty
// when there is no such key or its text is not the JSON expected: the
// metadata is only a hint. Its lengths are the producer's: a negative one,
// or more than 2^31 bytes in all, ends the reading.
std::vector<std::string> pandas_index_columns(const char* metadata);

// Every chunk of a stream, each owned: get_schema, then get_next until the
// end. A failing callback throws ArrowInputError with the stream's own
// get_last_error text.
// The chunks read before a failure stay in `schema` and `arrays`, for the
// caller to release where it can (a producer's release may need the caller
// to have put its own error state aside first).
void read_arrow_stream(ArrowArrayStream& stream, OwnedArrowSchema& schema, std::vector<OwnedArrowArray>& arrays);
struct ArrowChunks {
    OwnedArrowSchema schema;
    std::vector<OwnedArrowArray> arrays;
};
ArrowChunks read_arrow_stream(ArrowArrayStream& stream);

// --- the readers ------------------------------------------------------------
// Each reads every item of a checked column; `first` is the index of its
// item 0 among all chunks, for the errors.

// Node ids from fixed_size_binary(16); binary, large_binary or binary_view
// whose values are 16 bytes; utf8, large_utf8 or string_view holding UUID
// text. A null, a value of another length or text that is no UUID is refused.
// A null-typed column writes nothing: `out` may be null for one.
void read_arrow_ids(const ArrowColumn& column, std::size_t first, NodeId* out);
// Whether the column's ids can be read in place: fixed_size_binary(16)
// without nulls.
bool arrow_ids_in_place(const ArrowColumn& column) noexcept;

// Weights from float16, float32, float64, a decimal or an integer type, each
// converted as a Python number of that value converts to a 32-bit float (an
// integer or a decimal through the double nearest its value). Nulls, and so
// a null-typed column of any item, are refused (`out` may be null for one).
void read_arrow_weights(const ArrowColumn& column, std::size_t first, float* out);

// Node properties: set(i, value) for each item that is not null (a
// null-typed column of any type's property sets nothing).
// read_arrow_texts: utf8, large_utf8 or string_view, valid UTF-8.
// read_arrow_floats: any float, decimal or integer type, as read_arrow_weights.
// read_arrow_colours: any integer type, 0 to 255 (OverflowError otherwise).
// read_arrow_flags: boolean.
template <class Set>
void read_arrow_texts(const ArrowColumn& column, std::size_t first, Set&& set);
template <class Set>
void read_arrow_floats(const ArrowColumn& column, std::size_t first, Set&& set);
template <class Set>
void read_arrow_colours(const ArrowColumn& column, std::size_t first, Set&& set);
template <class Set>
void read_arrow_flags(const ArrowColumn& column, std::size_t first, Set&& set);

// --- implementation of the templates ---------------------------------------

namespace arrow_detail {

float half_to_float(std::uint16_t half) noexcept;
// The double nearest `digits` (a decimal's integer, `width` bytes of two's
// complement) times 10^-scale.
double decimal_to_double(const std::uint8_t* digits, std::int32_t width, std::int32_t scale) noexcept;
bool is_utf8(std::string_view text) noexcept;
[[noreturn]] void throw_wrong_type(const ArrowColumn& column, const char* accepted);

// The column's values from its offset on; null when the array holds no item
// and no buffer (the producer may then give none, and moving a null pointer
// is undefined).
template <class T>
const T* values_from_offset(const ArrowColumn& column) noexcept {
    return column.values == nullptr ? nullptr : static_cast<const T*>(column.values) + column.offset;
}

// Calls f(i, value) for each valid item of a numeric column, the value in
// its own C type; `integers_only` takes only the types the colours reader
// takes.
template <class F>
void visit_numbers(const ArrowColumn& column, bool integers_only, const char* accepted, F&& f) {
    const auto visit = [&](auto tag) {
        using T = decltype(tag);
        const T* values = values_from_offset<T>(column);
        for (std::size_t i = 0; i < column.length; ++i) {
            if (column.valid(i)) f(i, values[i]);
        }
    };
    const ArrowTypeFacts& facts = column.format.facts();
    if ((facts.readers & (integers_only ? arrow_reader::colours : arrow_reader::numbers)) == 0) {
        throw_wrong_type(column, accepted);
    }
    // The value's C type, from the row's kind and width.
    const std::uint8_t width = facts.value_bytes;
    switch (facts.kind) {
        case ArrowKind::signed_integer:
            if (width == 1) return visit(std::int8_t{});
            if (width == 2) return visit(std::int16_t{});
            if (width == 4) return visit(std::int32_t{});
            if (width == 8) return visit(std::int64_t{});
            break;
        case ArrowKind::unsigned_integer:
            if (width == 1) return visit(std::uint8_t{});
            if (width == 2) return visit(std::uint16_t{});
            if (width == 4) return visit(std::uint32_t{});
            if (width == 8) return visit(std::uint64_t{});
            break;
        case ArrowKind::floating:
            if (width == 4) return visit(float{});
            if (width == 8) return visit(double{});
            if (width == 2) {
                const auto* values = values_from_offset<std::uint16_t>(column);
                for (std::size_t i = 0; i < column.length; ++i) {
                    if (column.valid(i)) f(i, half_to_float(values[i]));
                }
                return;
            }
            break;
        case ArrowKind::decimal: {
            // A double, never a float: to_weight rounds it to binary32 as
            // it rounds an integer, once.
            const std::int32_t bytes = column.format.byte_width, scale = column.format.scale;
            const auto* values = static_cast<const std::uint8_t*>(column.values);
            for (std::size_t i = 0; i < column.length; ++i) {
                if (column.valid(i)) {
                    f(i, decimal_to_double(values + (column.offset + i) * static_cast<std::size_t>(bytes), bytes, scale));
                }
            }
            return;
        }
        default: break;
    }
    // A row the readers take whose values no branch above reads.
    throw_wrong_type(column, accepted);
}

// A number as a 32-bit float, as float(value) then the binary32 rounding of
// add_edge: an integer is rounded to a double first.
template <class T>
float to_weight(T value) noexcept {
    if constexpr (std::is_same_v<T, float>) return as_converted_f32(value);  // float32, float16
    else return static_cast<float>(static_cast<double>(value));
}

}  // namespace arrow_detail

template <class Set>
void read_arrow_texts(const ArrowColumn& column, std::size_t first, Set&& set) {
    if (column.format.type == ArrowType::null) return;
    if ((column.format.facts().readers & arrow_reader::texts) == 0) {
        arrow_detail::throw_wrong_type(column, "utf8, large_utf8 or string_view");
    }
    for (std::size_t i = 0; i < column.length; ++i) {
        if (!column.valid(i)) continue;
        const std::string_view text = column.bytes_of(i);
        if (!arrow_detail::is_utf8(text)) throw_arrow_item_error(first + i, "the text is not valid UTF-8");
        set(i, text);
    }
}

template <class Set>
void read_arrow_floats(const ArrowColumn& column, std::size_t, Set&& set) {
    if (column.format.type == ArrowType::null) return;
    arrow_detail::visit_numbers(column, false, "a float, integer or decimal type",
                                [&](std::size_t i, auto value) { set(i, arrow_detail::to_weight(value)); });
}

template <class Set>
void read_arrow_colours(const ArrowColumn& column, std::size_t first, Set&& set) {
    if (column.format.type == ArrowType::null) return;
    arrow_detail::visit_numbers(column, true, "an integer type", [&](std::size_t i, auto value) {
        using T = decltype(value);
        if constexpr (std::is_same_v<T, std::uint64_t>) {
            // Beyond a C long, as int(value) would be for add_node.
            if (value > static_cast<std::uint64_t>(INT64_MAX)) {
                throw_arrow_item_error(first + i, "Python int too large to convert to C long",
                                       ArrowInputError::Kind::overflow);
            }
        }
        bool out_of_range = value > 255;
        if constexpr (std::is_signed_v<T>) out_of_range = out_of_range || value < 0;
        if (out_of_range) {
            throw_arrow_item_error(first + i, "out of range integral type conversion attempted",
                                   ArrowInputError::Kind::overflow);
        }
        set(i, static_cast<std::uint8_t>(value));
    });
}

template <class Set>
void read_arrow_flags(const ArrowColumn& column, std::size_t, Set&& set) {
    if (column.format.type == ArrowType::null) return;
    if ((column.format.facts().readers & arrow_reader::flags) == 0) arrow_detail::throw_wrong_type(column, "bool");
    const auto* bits = static_cast<const std::uint8_t*>(column.values);
    for (std::size_t i = 0; i < column.length; ++i) {
        if (!column.valid(i)) continue;
        const std::size_t bit = column.offset + i;
        set(i, ((bits[bit >> 3] >> (bit & 7)) & 1) != 0);
    }
}

}  // namespace tarnu
