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
// It follows the bulk arguments' phases (bulk_arguments.hpp). take() runs
// every piece of the producer's Python code (the dunder methods, and a
// stream's callbacks, which may be Python too) and moves the structs here,
// while the arguments open. The length it learns lies in this object's own
// copy of each struct, where no later Python code can change it; the total
// is checked there. It also checks the schema and each chunk's layout, so
// that a bad one is refused early, and copies a batch's column names. But
// formats, buffers, offsets, views and children lie in the producer's
// memory, which Python code run by the other arguments' conversions may
// rewrite: pin() checks all of it again, with every offset and view, and
// the readers read it, with no Python code in between. The structs are released exactly
// once, when this goes. A refusal is ValueError (OverflowError for a colour
// out of range) "{where}: item {i}: {reason}", or "{where}: {reason}" when
// no single item is to blame.
class ArrowInput {
public:
    using Shape = ArrowShape;

    ArrowInput() = default;
    ArrowInput(const ArrowInput&) = delete;
    ArrowInput& operator=(const ArrowInput&) = delete;
    ~ArrowInput();

    // Imports `object` when it offers either capsule method; returns false,
    // with nothing pending, when it has neither attribute. Any other error
    // of the lookup passes unchanged. A column is a flat array; a batch is a
    // struct array whose children are read by child_columns.
    bool take(PyObject* object, std::string where, Shape shape);
    bool held() const noexcept { return schema_.held(); }
    std::size_t size() const noexcept { return size_; }
    const std::string& where() const noexcept { return where_; }
    // Batch: the names of its columns, as take() found them, and those of
    // them that pandas made of a data frame's index (its schema's metadata).
    const std::vector<std::string>& child_names() const noexcept { return child_names_; }
    const std::vector<std::string>& index_names() const noexcept { return index_names_; }

    // Checks every chunk as it is now. Run no Python code from here until
    // the last read.
    void pin();

    // Column: its chunks, after pin().
    const std::vector<ArrowColumn>& columns() const noexcept { return columns_; }
    // Batch: column `index` of every chunk, its schema checked even when
    // there is no chunk.
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
    std::vector<std::string> child_names_;  // Shape::batch
    std::vector<std::string> index_names_;  // Shape::batch
    std::string formats_;                   // arrow_schema_formats, as take() found them
    std::vector<ArrowColumn> columns_;      // Shape::column, one per chunk, after pin()
    std::vector<ArrowBatch> batches_;       // Shape::batch, one per chunk, after pin()
    std::size_t size_ = 0;
};

}  // namespace tarnu::py

namespace tarnu::py {

// What the bulk arguments read from a pinned ArrowInput.

// Ids from the `size` items of a pinned column's chunks (a column input's,
// or a batch's child): the column's own bytes when they can be read in place
// (a single chunk of fixed_size_binary(16) without nulls), otherwise read
// into `converted`.
const std::uint8_t* arrow_ids(const std::vector<ArrowColumn>& columns, std::size_t size, const std::string& where,
                              std::unique_ptr<std::uint8_t[]>& converted);
// Weights: a single chunk of float32 without nulls in place (the reader
// quiets each as it reads it), anything else converted, every chunk.
const float* arrow_weights(const std::vector<ArrowColumn>& columns, std::size_t size, const std::string& where,
                           std::vector<float>& converted);

[[noreturn]] void throw_unknown_update_column(const std::string& where, std::string_view name,
                                              const char* const* names, std::size_t count);
[[noreturn]] void throw_repeated_update_column(const std::string& where, std::string_view name);

// The columns of a batch of node updates, by name: column(key, child, where)
// for each child named as a property, where `key` is its index in `names`
// and `child` its index in the batch. "id" and a pandas index's columns are
// skipped; any other name is refused (ValueError), as is a property named
// twice, since a misspelt or repeated column would lose its data without a
// word.
template <class Column>
void open_arrow_update_columns(const ArrowInput& batch, const char* const* names, std::size_t count, Column&& column) {
    const std::vector<std::string>& children = batch.child_names();
    std::vector<bool> seen(count);
    const std::vector<std::string>& index = batch.index_names();
    for (std::size_t c = 0; c < children.size(); ++c) {
        if (children[c] == "id" || std::find(index.begin(), index.end(), children[c]) != index.end()) continue;
        std::size_t key = 0;
        while (key < count && children[c] != names[key]) ++key;
        if (key == count) throw_unknown_update_column(batch.where(), children[c], names, count);
        if (seen[key]) throw_repeated_update_column(batch.where(), children[c]);
        seen[key] = true;
        column(key, c, batch.where() + " column '" + names[key] + "'");
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
