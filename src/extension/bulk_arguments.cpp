#include "bulk_arguments.hpp"

#include <string_view>

#include "errors.hpp"
#include "host_compat.hpp"
#include "text.hpp"

namespace tarnu::py {

[[noreturn]] void throw_argument_error(PyObject* type, const std::string& where, std::string_view message) {
    std::string text = where;
    text += ": ";
    text += message;
    throw_error(type, text);
}

[[noreturn]] void throw_wrong_kind(PyObject* object, const std::string& where, std::string_view accepted) {
    std::string message = "'" + type_qualname(Py_TYPE(object)) + "' object is not accepted; ";
    message += accepted;
    throw_argument_error(PyExc_TypeError, where, message);
}

bool has_format(const BufferView& buffer, std::string_view formats) {
    const std::string_view format = buffer.format();
    bool known = false;
    for (char f : formats) known = known || format == std::string_view(&f, 1);
    return known;
}

void check_column_buffer(const BufferView& buffer, const std::string& where, std::string_view formats,
                         std::string_view accepted) {
    const std::string_view format = buffer.format();
    if (!has_format(buffer, formats)) {
        throw_argument_error(PyExc_TypeError, where,
                             "a buffer of format '" + std::string(format) + "' is not accepted; " +
                                 std::string(accepted));
    }
    if (!is_column_layout(buffer)) {
        throw_argument_error(PyExc_ValueError, where,
                             "the buffer is not one-dimensional and C-contiguous; " + std::string(accepted));
    }
}

void label_item_error(const std::string& where, std::size_t index) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    FetchedError error = fetch_normalized();
    std::string message = where + ": item " + std::to_string(index) + ": " + object_text(error.value.get());
    OwnedRef text = new_str(message);
    OwnedRef labelled = OwnedRef::consuming(PyObject_CallOneArg(error.type.get(), text.get()));
    if (!labelled || Py_TYPE(labelled.get()) != reinterpret_cast<PyTypeObject*>(error.type.get())) {
        PyErr_Clear();
        restore(std::move(error));
        return;
    }
    PyException_SetCause(labelled.get(), PyException_GetCause(error.value.get()));
    // A hint added to the item's error (add_note, 3.11 and later) goes along.
    OwnedRef notes = OwnedRef::consuming(PyObject_GetAttrString(error.value.get(), "__notes__"));
    if (!notes || PyObject_SetAttrString(labelled.get(), "__notes__", notes.get()) != 0) PyErr_Clear();
    PyErr_SetObject(error.type.get(), labelled.get());
}

// --- sequences --------------------------------------------------------------

bool ItemSequence::take(PyObject* object, bool lists_and_tuples_only) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        sequence_ = OwnedRef::owning(object);
    } else if (PyList_Check(object) || PyTuple_Check(object) || (!lists_and_tuples_only && PySequence_Check(object))) {
        sequence_ = require_new(PySequence_List(object));
    } else {
        return false;
    }
    size_ = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence_.get()));
    return true;
}

PyObject* ItemSequence::item(std::size_t i, const std::string& where) const {
    // A list that Python code shortened while its items converted.
    if (i >= static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence_.get()))) [[unlikely]] {
        throw_argument_error(PyExc_RuntimeError, where, "the list changed size while its items were converted");
    }
    PyObject* item = PySequence_Fast_GET_ITEM(sequence_.get(), static_cast<Py_ssize_t>(i));
    if (item == nullptr) [[unlikely]] {
        // PyPy could not make the item's C view (a bytes subclass whose
        // __len__ raises or under-reports): its error, or a ValueError.
        if (!PyErr_Occurred()) {
            throw_argument_error(PyExc_ValueError, where,
                                 "item " + std::to_string(i) + ": the interpreter could not read it");
        }
        label_item_error(where, i);
        throw_pending_error();
    }
    return item;
}

// The entries of a dict, in its order, read from its own storage (a
// subclass's methods are not called) with no Python code of the caller's run.
// CPython hands out its keys as they are. PyPy's C view of a str subclass is
// sized by its own __len__, and PyDict_Next ends the process when that view
// cannot be made; so there the keys never reach C: their types and exact
// copies are made at the Python level (map(type, keys), and str.__getitem__
// with slice(None) for the str keys before the first key of another type).
std::vector<DictEntry> dict_entries(PyObject* dict, const std::string& where) {
    std::vector<DictEntry> entries;
    if constexpr (dict_keys_reach_c_as_they_are) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            const bool text = type_has_flag(key, Py_TPFLAGS_UNICODE_SUBCLASS);
            entries.push_back({OwnedRef::owning(reinterpret_cast<PyObject*>(Py_TYPE(key))),
                               text ? OwnedRef::owning(key) : OwnedRef(), OwnedRef::owning(key),
                               OwnedRef::owning(value)});
        }
        return entries;
    }
    const OwnedRef keys = require_new(PyDict_Keys(dict));
    const OwnedRef values = require_new(PyDict_Values(dict));
    PyObject* map = builtin_map();
    const OwnedRef types = require_new(PySequence_List(
        require_new(PyObject_CallFunctionObjArgs(map, &PyType_Type, keys.get(), nullptr)).get()));
    const Py_ssize_t count = PyList_GET_SIZE(types.get());
    Py_ssize_t texts = 0;
    while (texts < count && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(PyList_GET_ITEM(types.get(), texts)),
                                             &PyUnicode_Type)) {
        ++texts;
    }
    const OwnedRef text_keys = require_new(PyList_GetSlice(keys.get(), 0, texts));
    const OwnedRef everything = require_new(PySlice_New(nullptr, nullptr, nullptr));
    const OwnedRef slices = require_new(PyList_New(texts));
    for (Py_ssize_t i = 0; i < texts; ++i) PyList_SET_ITEM(slices.get(), i, OwnedRef::owning(everything.get()).release());
    const OwnedRef copy = require_new(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "__getitem__"));
    const OwnedRef names = require_new(PySequence_List(
        require_new(PyObject_CallFunctionObjArgs(map, copy.get(), text_keys.get(), slices.get(), nullptr)).get()));
    if (PyList_GET_SIZE(values.get()) != count || PyList_GET_SIZE(names.get()) != texts) {
        throw_argument_error(PyExc_RuntimeError, where, "the dict changed size while its keys were read");
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        // One value at a time: a value whose C view cannot be made fails
        // here alone, where PySequence_Fast_GET_ITEM would have the layer
        // build (and half build) the views of the whole list.
        OwnedRef value = require_new(PySequence_GetItem(values.get(), i));
        OwnedRef name = i < texts ? OwnedRef::owning(PyList_GET_ITEM(names.get(), i)) : OwnedRef();
        // A key after the str ones is needed only to name it in an error,
        // and the reader stops at the first of them: only it is read.
        OwnedRef key = i < texts ? OwnedRef::owning(name.get())
                       : i == texts ? require_new(PySequence_GetItem(keys.get(), i))
                                    : OwnedRef();
        entries.push_back({OwnedRef::owning(PyList_GET_ITEM(types.get(), i)), std::move(name), std::move(key),
                           std::move(value)});
    }
    return entries;
}

std::size_t dict_key_index(const DictEntry& entry, const char* const* names, std::size_t count) {
    if (!entry.name) return count;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(entry.name.get(), &size);
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_pending_error();
        PyErr_Clear();  // lone surrogates: no column's name
        return count;
    }
    return name_index(std::string_view(text, static_cast<std::size_t>(size)), names, count);
}

// --- shared errors ------------------------------------------------------------

void throw_buffer_changed(const std::string& where, bool with_cause) {
    const std::string text = where + ": the buffer changed while the other arguments were converted";
    if (with_cause) throw_with_cause(PyExc_RuntimeError, text);
    throw_error(PyExc_RuntimeError, text);
}

void throw_length_mismatch(const char* method, const std::vector<std::pair<std::string, std::size_t>>& parts) {
    std::string message = std::string(method) + " got arguments of different lengths: ";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) message += ", ";
        message += parts[i].first + " has " + std::to_string(parts[i].second) + " items";
    }
    throw_error(PyExc_ValueError, message);
}

void throw_batch_out_of_memory(const char* method, std::size_t done, std::size_t count) {
    throw_error(PyExc_MemoryError, std::string(method) + " ran out of memory after " + std::to_string(done) + " of " +
                                       std::to_string(count) + " items; the diff holds the effect of the first " +
                                       std::to_string(done));
}

}  // namespace tarnu::py
