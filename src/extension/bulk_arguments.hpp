#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_arguments.hpp"
#include "buffer_view.hpp"
#include "diff/node_id.hpp"
#include "node_update/node_update.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// The arguments of the bulk methods. Each is read in two steps, so that a
// call finds every bad argument before it changes anything:
//   open()     takes the argument's buffer or its sequence and learns its
//              length, checking format and layout;
//   convert()  converts the items of a sequence (a buffer needs nothing),
//              each exactly as the single-item method converts its value.
// A bad item's error keeps its type and gets the text
// "argument '{name}': item {i}: {text}".

// A list or tuple whose items are converted one by one. Python code run by
// a conversion may change the list, so each item is taken afresh and held
// while it converts.
class ItemSequence {
public:
    // Takes a list or tuple as it is; any other sequence (PySequence_Check)
    // through list(). Returns false for anything else, with nothing pending.
    bool take(PyObject* object, bool lists_and_tuples_only);
    std::size_t size() const noexcept { return size_; }
    // Calls convert(item, i) for each item, labelling errors with `where`.
    template <class Convert>
    void for_each(const std::string& where, Convert&& convert) const {
        for (std::size_t i = 0; i < size_; ++i) convert_item(i, where, convert);
    }
    // The same for item i alone.
    template <class Convert>
    void convert_item(std::size_t i, const std::string& where, Convert&& convert) const;

private:
    PyObject* item(std::size_t i, const std::string& where) const;
    OwnedRef sequence_;
    std::size_t size_ = 0;
};

// Node ids: a list or tuple of ids, Arrow input (arrow_arguments.hpp), or a
// C-contiguous buffer of 16-byte ids.
class IdColumn {
public:
    void open(PyObject* object, const char* name);
    void convert();
    std::size_t size() const noexcept { return size_; }
    NodeId operator()(std::size_t i) const noexcept { return NodeId::from_bytes(bytes_ + 16 * i); }

private:
    std::string where_;
    ArrowInput arrow_;
    BufferView buffer_;
    ItemSequence sequence_;
    std::vector<NodeId> converted_;
    const std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
};

// Weights: a sequence of numbers, Arrow input, or a 1-D buffer of format 'f'
// or 'd'.
class WeightColumn {
public:
    void open(PyObject* object, const char* name);
    void convert();
    std::size_t size() const noexcept { return size_; }
    float operator()(std::size_t i) const noexcept {
        if (doubles_ != nullptr) return static_cast<float>(doubles_[i]);  // rounded as add_edge rounds
        return floats_[i];
    }

private:
    std::string where_;
    ArrowInput arrow_;
    BufferView buffer_;
    ItemSequence sequence_;
    std::vector<float> converted_;
    const float* floats_ = nullptr;
    const double* doubles_ = nullptr;
    std::size_t size_ = 0;
};

// Updates: a sequence of update dicts, Arrow input with a column per
// property (a table, record batch or data frame; a null is absent), or a
// dict of columns, key -> a sequence of values (None: absent for that node),
// an Arrow array or, for the numeric keys, a 1-D buffer ('f'/'d' for size,
// 'B' for the colours, '?' for show_label).
class UpdateColumns {
public:
    // A column per node property, numbered by the place where add_node reads
    // its key from the dict.
    static constexpr std::size_t kKeys = kNodePropertyCount;
    static constexpr std::array<const char*, kKeys> kKeyNames = [] {
        std::array<const char*, kKeys> names{};
        for_each_node_property([&](auto property) { names[property.read_position] = property.dict_key; });
        return names;
    }();

    void open(PyObject* object, const char* name);
    // Calls report(label, length) for the argument's length, or for each
    // column's; a length-mismatch message lists them.
    template <class Report>
    void lengths(Report&& report) const;
    void convert(std::size_t count);
    // Item i's update, moved out once.
    NodeUpdate take(std::size_t i) noexcept { return std::move(updates_[i]); }

private:
    struct Column {
        bool present = false;
        std::string where;  // "argument 'updates' column '{key}'"
        BufferView buffer;
        ItemSequence sequence;
        ArrowInput arrow_input;              // an Arrow array in the dict
        std::vector<ArrowColumn> arrow;      // its chunks, or the batch's column
        bool from_arrow = false;
    };
    // Column `key` (its read position), whose buffers may hold `formats`.
    void open_column(std::size_t key, PyObject* values, std::string_view formats);

    std::string where_;
    bool columns_ = false;
    ArrowInput arrow_;  // the whole argument, as a batch
    ItemSequence dicts_;
    std::array<Column, kKeys> columns_by_key_;
    std::vector<NodeUpdate> updates_;
};

template <class Report>
void UpdateColumns::lengths(Report&& report) const {
    if (arrow_.held()) {
        report(std::string("'updates'"), arrow_.size());
        return;
    }
    if (!columns_) {
        report(std::string("'updates'"), dicts_.size());
        return;
    }
    for (std::size_t k = 0; k < kKeys; ++k) {
        const Column& c = columns_by_key_[k];
        if (!c.present) continue;
        const std::size_t n = c.arrow_input.held() ? c.arrow_input.size()
                              : c.buffer.taken()   ? c.buffer.bytes() / c.buffer.item_size()
                                                   : c.sequence.size();
        report("'updates' column '" + std::string(kKeyNames[k]) + "'", n);
    }
}

// Lengths that disagree: ValueError "{method} got arguments of different
// lengths: 'a' has 3 items, 'b' has 2 items". `parts` are (label, length).
[[noreturn]] void throw_length_mismatch(const char* method, const std::vector<std::pair<std::string, std::size_t>>& parts);

// MemoryError "{method} ran out of memory after {k} of {n} items; the diff
// holds the effect of the first {k}".
[[noreturn]] void throw_batch_out_of_memory(const char* method, std::size_t done, std::size_t count);

}  // namespace tarnu::py
