#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "buffer_view.hpp"
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
//
// What every argument's reader shares is here: a buffer (ColumnBuffer), a
// list of items (ItemSequence), a caller's dict (dict_entries) and the
// errors. The ids are read in bulk_ids.hpp, the weights in bulk_weights.hpp,
// the node updates in bulk_updates.hpp.

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
    OwnedRef probe_;  // PyPy: of a memoryview, for the check of its retaken view
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
    // Made now, for pin(): the probe runs Python code, which must not run
    // once any argument's buffer is retaken.
    if (!copied_) probe_ = view_tail_probe(object);
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
        view_.require_probed(object_.get(), PyBUF_RECORDS_RO, probe_.get());
    } catch (const PendingError&) {
        // Released or closed meanwhile (a memoryview's or mmap's ValueError,
        // a BufferError): the exporter's own error becomes the cause.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        throw_buffer_changed(where, true);
    }
    // require_probed() refused a memoryview that reaches past what is under it.
    if (view_.bytes() != bytes_ || view_.item_size() != item_size_ || !still_good(view_)) {
        throw_buffer_changed(where);
    }
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

// Relabels the pending error of item i: same type, text "{where}: item {i}:
// {text}", the old exception's own __cause__ kept. Only ordinary errors
// (Exception, MemoryError aside) are relabelled; an exception type whose
// constructor does not take one text passes unchanged.
void label_item_error(const std::string& where, std::size_t index);

template <class Convert>
void ItemSequence::convert_item(std::size_t i, const std::string& where, Convert&& convert) const {
    OwnedRef held = OwnedRef::owning(item(i, where));
    try {
        convert(held.get(), i);
    } catch (const PendingError&) {
        label_item_error(where, i);
        throw;
    }
}

// TypeError or ValueError "{where}: {message}".
[[noreturn]] void throw_argument_error(PyObject* type, const std::string& where, std::string_view message);

// "'{qualname}' object is neither ..." for an argument of the wrong kind.
[[noreturn]] void throw_wrong_kind(PyObject* object, const std::string& where, std::string_view accepted);

// Whether a taken buffer's format is one of `formats` (one character each).
bool has_format(const BufferView& buffer, std::string_view formats);
inline bool is_column_layout(const BufferView& buffer) { return buffer.one_dimensional() && buffer.c_contiguous(); }

// A taken buffer that is not one-dimensional, C-contiguous and of `format`.
void check_column_buffer(const BufferView& buffer, const std::string& where, std::string_view formats,
                         std::string_view accepted);

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

// The place of `name` among the `count` names, or `count` when it is none.
inline std::size_t name_index(std::string_view name, const char* const* names, std::size_t count) noexcept {
    std::size_t k = 0;
    while (k < count && name != names[k]) ++k;
    return k;
}

// The place of an entry's key among the `count` names, its exact text
// compared; or `count` for a key that names none of them, is not a str, or
// holds lone surrogates.
std::size_t dict_key_index(const DictEntry& entry, const char* const* names, std::size_t count);

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
