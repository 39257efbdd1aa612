#pragma once

#include <array>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_arguments.hpp"
#include "buffer_view.hpp"
#include "basics/node_id.hpp"
#include "node_update/node_update.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// The arguments of the bulk methods. Each is read in three steps, so that a
// call finds every bad argument before it changes anything, and reads a
// caller's memory only while no Python code can run:
//   open()     takes the argument's buffer or its sequence and learns its
//              length, checking format and layout; a buffer is given back
//              at once (on PyPy an untrusted exporter's bytes are copied);
//   convert()  converts the items of a sequence, each exactly as the
//              single-item method converts its value; this runs Python code
//              (__float__, __index__, a sequence's __getitem__);
//   retake()   takes each buffer again and checks that it is as it was
//              opened. Taking a buffer can run Python code (a class's
//              __buffer__ on CPython 3.12+), so every argument's retake()
//              runs before any argument's pin();
//   pin()      checks Arrow input in full (arrow_arguments.hpp) and reads
//              it, and reads the retaken buffers. From the first pin() until
//              the batch is applied no Python code runs, so nothing can
//              resize, close, release or rewrite what is read.
// A bad item's error keeps its type and gets the text
// "argument '{name}': item {i}: {text}".

// A buffer argument, checked when it is opened and again when it is pinned.
// At open, `check(view)` throws for a view of the wrong format or layout; at
// pin, `still_good(view)` says whether it is still as open accepted it.
class ColumnBuffer {
public:
    // False, with nothing pending, when the object exports no buffer.
    template <class Check>
    bool open(PyObject* object, const Check& check);
    template <class StillGood>
    void pin(const std::string& where, const StillGood& still_good);

    bool present() const noexcept { return present_; }
    std::size_t bytes() const noexcept { return bytes_; }
    std::size_t item_size() const noexcept { return item_size_; }
    std::size_t items() const noexcept { return item_size_ == 0 ? 0 : bytes_ / item_size_; }
    // Valid after pin().
    const std::uint8_t* data() const noexcept { return data_; }

private:
    OwnedRef object_;
    BufferView view_;
    std::vector<std::uint8_t> copy_;  // an untrusted exporter's bytes
    const std::uint8_t* data_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t item_size_ = 0;
    bool present_ = false;
    bool copied_ = false;
};

template <class Check>
bool ColumnBuffer::open(PyObject* object, const Check& check) {
    if (!view_.take(object)) return false;
    check(view_);
    present_ = true;
    bytes_ = view_.bytes();
    item_size_ = view_.item_size();
    if (!buffer_is_trusted(object)) {
        // PyPy: Python code run before pin() could move or free this
        // exporter's memory. Its bytes are kept as they are now.
        const auto* first = static_cast<const std::uint8_t*>(view_.data());
        copy_.assign(first, first + bytes_);
        copied_ = true;
    } else {
        object_ = OwnedRef::owning(object);
    }
    view_.release();
    return true;
}

// Throws RuntimeError "{where}: the buffer changed while the other arguments
// were converted", the pending error as its __cause__ when `with_cause`.
[[noreturn]] void throw_buffer_changed(const std::string& where, bool with_cause = false);

template <class StillGood>
void ColumnBuffer::pin(const std::string& where, const StillGood& still_good) {
    if (copied_) {
        data_ = copy_.data();
        return;
    }
    try {
        view_.require(object_.get(), PyBUF_RECORDS_RO);
    } catch (const PendingError&) {
        // Released or closed meanwhile (a memoryview's or mmap's ValueError,
        // a BufferError): the exporter's own error becomes the cause.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        throw_buffer_changed(where, true);
    }
    if (view_.bytes() != bytes_ || view_.item_size() != item_size_ || !still_good(view_)) throw_buffer_changed(where);
    data_ = static_cast<const std::uint8_t*>(view_.data());
}

// A list or tuple whose items are converted one by one. Python code run by
// a conversion may change the list, so each item is taken afresh and held
// while it converts. A subclass of list or tuple is read through list():
// PyPy's C view of it is sized by its own __len__.
class ItemSequence {
public:
    // Takes an exact list or tuple as it is; a subclass of them, or with
    // `lists_and_tuples_only` false any other sequence (PySequence_Check),
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

static_assert(alignof(NodeId) == 1, "IdColumn hands out ids at any byte of a buffer");

// Node ids: a list or tuple of ids, Arrow input (arrow_arguments.hpp), or a
// C-contiguous buffer of bytes (single-byte items, or 16-byte items such as
// numpy's S16 and V16).
class IdColumn {
public:
    void open(PyObject* object, const char* name);
    // Column `child` of a batch that its owner pins before this is pinned,
    // and keeps until this goes. `name` as open() takes it.
    void open_child(const ArrowInput& batch, std::size_t child, const char* name);
    void convert();
    void retake();
    void pin();
    std::size_t size() const noexcept { return size_; }
    // Item i where it lies (a NodeId is 16 bytes of alignment 1): the batch
    // pipeline reads a reference in place, where a value would be copied
    // into its ring first.
    const NodeId& operator()(std::size_t i) const noexcept {
        return *reinterpret_cast<const NodeId*>(bytes_ + 16 * i);
    }

private:
    std::string where_;
    ArrowInput arrow_;
    const ArrowInput* batch_ = nullptr;  // open_child's batch
    std::size_t child_ = 0;
    ColumnBuffer buffer_;
    ItemSequence sequence_;
    std::vector<NodeId> converted_;
    std::unique_ptr<std::uint8_t[]> arrow_ids_;  // Arrow ids that are not read in place
    const std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
};

// Weights: a sequence of numbers, Arrow input, or a 1-D buffer of format 'f'
// or 'd'. A buffer may be unaligned: items are loaded with memcpy.
class WeightColumn {
public:
    void open(PyObject* object, const char* name);
    // As IdColumn::open_child.
    void open_child(const ArrowInput& batch, std::size_t child, const char* name);
    void convert();
    void retake();
    void pin();
    std::size_t size() const noexcept { return size_; }
    float operator()(std::size_t i) const noexcept {
        if (doubles_) {
            double value;
            std::memcpy(&value, bytes_ + sizeof(double) * i, sizeof value);
            return static_cast<float>(value);  // rounded as add_edge rounds
        }
        float value;
        std::memcpy(&value, bytes_ + sizeof(float) * i, sizeof value);
        return as_converted_f32(value);
    }

private:
    std::string where_;
    ArrowInput arrow_;
    const ArrowInput* batch_ = nullptr;  // open_child's batch
    std::size_t child_ = 0;
    ColumnBuffer buffer_;
    ItemSequence sequence_;
    std::vector<float> converted_;
    const std::uint8_t* bytes_ = nullptr;
    bool doubles_ = false;
    std::size_t size_ = 0;
};

// Texts copied out of Python objects for one batch. Each stays where it was
// put until the arena goes, so the batch's updates can view them: a text is
// copied once here and once into the record, with no heap block of its own.
class TextArena {
public:
    std::string_view copy(std::string_view text) {
        if (text.empty()) return std::string_view{""};  // empty, yet pointing somewhere
        if (text.size() > room_) grow(text.size());
        char* at = next_;
        std::memcpy(at, text.data(), text.size());
        next_ += text.size();
        room_ -= text.size();
        return std::string_view(at, text.size());
    }

private:
    // A new block of at least `bytes`; the rest of the current one is left.
    void grow(std::size_t bytes);
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t room_ = 0;
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
    // The property columns of a batch whose owner pins it before this is
    // pinned, and keeps it until this goes; its "id" is skipped, any other
    // column refused as open() refuses it.
    void open_batch(const ArrowInput& batch);
    // Calls report(label, length) for the argument's length, or for each
    // column's; a length-mismatch message lists them.
    template <class Report>
    void lengths(Report&& report) const;
    void convert(std::size_t count);
    void retake();
    void pin();
    // Item i's update. Its texts view the Arrow buffers or this argument's
    // own copies, and are valid until it goes.
    const NodeUpdateView& update(std::size_t i) const noexcept { return updates_[i]; }

private:
    struct Column {
        bool present = false;
        std::string where;  // "argument 'updates' column '{key}'"
        std::string_view formats;
        ColumnBuffer buffer;
        ItemSequence sequence;
        ArrowInput arrow_input;              // an Arrow array in the dict
        std::size_t child = 0;               // or the batch's column `child`
        std::vector<ArrowColumn> arrow;      // its chunks, once pinned
        bool from_arrow = false;
    };
    // Column `key` (its read position), whose buffers may hold `formats`.
    void open_column(std::size_t key, PyObject* values, std::string_view formats);
    // Checks the Arrow columns and reads them into the updates.
    void pin_arrow();
    void open_batch_columns(const ArrowInput& batch);

    std::string where_;
    bool columns_ = false;
    ArrowInput arrow_;                   // the whole argument, as a batch
    const ArrowInput* batch_ = nullptr;  // or open_batch's
    ItemSequence dicts_;
    std::array<Column, kKeys> columns_by_key_;
    TextArena texts_;  // the texts read from Python objects
    std::vector<NodeUpdateView> updates_;
};

template <class Report>
void UpdateColumns::lengths(Report&& report) const {
    if (arrow_.held() || batch_ != nullptr) {
        report(std::string("'updates'"), batch_ != nullptr ? batch_->size() : arrow_.size());
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
                              : c.buffer.present()   ? c.buffer.items()
                                                     : c.sequence.size();
        report("'updates' column '" + std::string(kKeyNames[k]) + "'", n);
    }
}

// An entry of a caller's dict: its key's type, the key itself as text when
// it is a str (on PyPy an exact copy), the key as an object where it may be
// named in an error (on PyPy only the str keys and the first other one), and
// its value.
struct DictEntry {
    OwnedRef type;
    OwnedRef name;
    OwnedRef key;
    OwnedRef value;
};

// The entries of a dict, in its order, read from its own storage (a
// subclass's methods are not called) with none of the caller's Python code
// run, and without the calls that end a PyPy process on a key or value whose
// C view cannot be made.
std::vector<DictEntry> dict_entries(PyObject* dict, const std::string& where);

// Lengths that disagree: ValueError "{method} got arguments of different
// lengths: 'a' has 3 items, 'b' has 2 items". `parts` are (label, length).
[[noreturn]] void throw_length_mismatch(const char* method, const std::vector<std::pair<std::string, std::size_t>>& parts);

// Throws throw_length_mismatch's error unless every length of `parts` is the
// same.
inline void check_lengths(const char* method, const std::vector<std::pair<std::string, std::size_t>>& parts) {
    for (const auto& part : parts) {
        if (part.second != parts.front().second) throw_length_mismatch(method, parts);
    }
}

// MemoryError "{method} ran out of memory after {k} of {n} items; the diff
// holds the effect of the first {k}".
[[noreturn]] void throw_batch_out_of_memory(const char* method, std::size_t done, std::size_t count);

}  // namespace tarnu::py
