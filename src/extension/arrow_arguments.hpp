#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "arrow/arrow_import.hpp"
#include "node_update/node_update.hpp"
#include "python.hpp"

namespace tarnu::py {

// Arrow input of a bulk argument: any object with __arrow_c_array__ (an
// array, or a record batch as a struct array) or __arrow_c_stream__ (a
// chunked array, a table, a data frame: every chunk is read).
//
// take() runs the producer's Python code (the dunder methods, and a stream's
// callbacks, which may be Python too) and checks every chunk, so it belongs
// to the phase that opens the arguments, before any raw pointer of another
// argument is taken. The imported structs are owned here: their buffers
// belong to the producer and stay where they are until the release, which
// runs exactly once, when this goes. A refusal is ValueError (OverflowError
// for a colour out of range) "{where}: item {i}: {reason}", or
// "{where}: {reason}" when no single item is to blame.
class ArrowInput {
public:
    enum class Shape { column, batch };

    ArrowInput() = default;
    ArrowInput(const ArrowInput&) = delete;
    ArrowInput& operator=(const ArrowInput&) = delete;
    ~ArrowInput();

    // Imports and checks `object` when it offers either capsule method;
    // returns false, with nothing pending, when it offers neither. A column
    // is a flat array; a batch is a struct array whose children are
    // checked when child_columns asks for them.
    bool take(PyObject* object, std::string where, Shape shape);
    bool held() const noexcept { return schema_.held(); }
    std::size_t size() const noexcept { return size_; }
    const std::string& where() const noexcept { return where_; }

    // Column: the ids' bytes in place (a single chunk of
    // fixed_size_binary(16) without nulls), or null.
    const std::uint8_t* ids_in_place() const noexcept;
    void read_ids(NodeId* out) const;
    void read_weights(float* out) const;
    // Column: read(column, first) for each chunk, errors labelled.
    template <class Read>
    void read(Read&& read) const {
        read_columns(columns_, where_, read);
    }

    // Batch: the names of its columns, and column `index` of every chunk.
    std::vector<std::string_view> child_names() const;
    std::vector<ArrowColumn> child_columns(std::size_t index, const std::string& where) const;

    // read(column, first) for each of `columns`, the first item of each
    // counted over all chunks; an ArrowInputError becomes the Python error
    // labelled with `where`.
    template <class Read>
    static void read_columns(const std::vector<ArrowColumn>& columns, const std::string& where, Read&& read) {
        std::size_t first = 0;
        try {
            for (const ArrowColumn& column : columns) {
                read(column, first);
                first += column.length;
            }
        } catch (const ArrowInputError& error) {
            throw_labelled(where, error, 0);
        }
    }

    // Sets the Python error for `error`, item indices offset by `first`.
    [[noreturn]] static void throw_labelled(const std::string& where, const ArrowInputError& error, std::size_t first);

private:
    void import_array(PyObject* method);
    void import_stream(PyObject* method);

    std::string where_;
    Shape shape_ = Shape::column;
    OwnedArrowStream stream_;
    OwnedArrowSchema schema_;
    std::vector<OwnedArrowArray> arrays_;
    std::vector<ArrowColumn> columns_;  // Shape::column, one per chunk
    std::vector<ArrowBatch> batches_;   // Shape::batch, one per chunk
    std::size_t size_ = 0;
};

}  // namespace tarnu::py

namespace tarnu::py {

// What the bulk arguments read from an ArrowInput.

// Ids: the column's own bytes when they can be read in place, otherwise
// read into `converted`.
const std::uint8_t* arrow_ids(const ArrowInput& input, std::unique_ptr<std::uint8_t[]>& converted);
// Weights: float32 in place, anything else converted.
const float* arrow_weights(const ArrowInput& input, std::vector<float>& converted);

[[noreturn]] void throw_unknown_update_column(const std::string& where, std::string_view name,
                                              const char* const* names, std::size_t count);

// The columns of a batch of node updates: column(key, columns, where) for
// each column named as a property, where `key` is its index in `names`.
// "id" is skipped; any other name is refused (ValueError), since a
// misspelt column would lose its data without a word.
template <class Column>
void open_arrow_update_columns(const ArrowInput& batch, const char* const* names, std::size_t count, Column&& column) {
    const std::vector<std::string_view> children = batch.child_names();
    for (std::size_t c = 0; c < children.size(); ++c) {
        if (children[c] == "id") continue;
        std::size_t key = 0;
        while (key < count && children[c] != names[key]) ++key;
        if (key == count) throw_unknown_update_column(batch.where(), children[c], names, count);
        const std::string where = batch.where() + " column '" + names[key] + "'";
        column(key, batch.child_columns(c, where), where);
    }
}

// Reads items [begin, end) of a property column, counted over all its
// chunks, into updates[i] for each item that is not null (a null is an
// absent property), by the property's kind. A text views the column's data
// buffer: valid until the input is released.
template <class P>
void read_arrow_property(const std::vector<ArrowColumn>& columns, const std::string& where,
                         std::vector<NodeUpdateView>& updates, std::size_t begin, std::size_t end) {
    using Kind = typename P::Kind;
    ArrowInput::read_columns(columns, where, [&](const ArrowColumn& chunk, std::size_t first) {
        const std::size_t from = std::max(begin, first), to = std::min(end, first + chunk.length);
        if (from >= to) return;
        // The chunk's items [from, to), as a column of its own: every reader
        // finds item i at offset + i.
        ArrowColumn column = chunk;
        column.offset += from - first;
        column.length = to - from;
        const auto set = [&](std::size_t i, auto value) { P::of(updates[from + i]) = typename Kind::View(value); };
        if constexpr (std::is_same_v<Kind, node_property::Text>) read_arrow_texts(column, from, set);
        else if constexpr (std::is_same_v<Kind, node_property::Float>) read_arrow_floats(column, from, set);
        else if constexpr (std::is_same_v<Kind, node_property::Colour>) read_arrow_colours(column, from, set);
        else read_arrow_flags(column, from, set);
    });
}

}  // namespace tarnu::py
