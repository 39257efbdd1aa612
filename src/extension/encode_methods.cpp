#include "encode_methods.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "bytes/graph_diff_to_bytes.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "host_compat.hpp"
#include "method_support.hpp"
#include "py_ref.hpp"
#include "test_hooks.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

constexpr ArgumentDescription<2> encode_into_arguments{"PyGraphDiff.encode_into()", {"buffer", "offset"}, 1};

constexpr Py_ssize_t kAppend = -1;

// The offset argument: an integer (or an object with __index__), at least -1.
Py_ssize_t extract_offset(PyObject* object) {
    if (object == nullptr) {
        return 0;
    }
    OwnedRef index = require_new(PyNumber_Index(object));
    const Py_ssize_t offset = require_number(PyLong_AsSsize_t(index.get()));
    if (offset < kAppend) {
        throw_error(PyExc_ValueError, "offset must be non-negative, or -1 to append");
    }
    return offset;
}

// start + size, or OverflowError when a Python length cannot hold it.
Py_ssize_t end_of(Py_ssize_t start, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX - start)) {
        throw_error(PyExc_OverflowError, "the encoding does not fit in a buffer from that offset");
    }
    return start + static_cast<Py_ssize_t>(size);
}

// A bytearray is resized to end exactly where the encoding does, then
// written in place.
Py_ssize_t encode_into_bytearray(const DiffEncoding& encoding, PyObject* target, Py_ssize_t offset) {
    const Py_ssize_t old_length = PyByteArray_Size(target);
    const Py_ssize_t start = offset == kAppend ? old_length : offset;
    const Py_ssize_t end = end_of(start, encoding.size());
    // Refused with BufferError while someone else holds an export of it.
    require(PyByteArray_Resize(target, end));
    try {
        auto* bytes = reinterpret_cast<std::uint8_t*>(require(PyByteArray_AsString(target)));
        if (start > old_length) {
            std::memset(bytes + old_length, 0, static_cast<std::size_t>(start - old_length));
        }
        write_encoding(encoding, bytes + start);
    } catch (...) {
        // The bytearray goes back to its old length, its content unchanged
        // up to there.
        FetchedError pending = fetch_normalized();
        if (PyByteArray_Resize(target, old_length) != 0) {
            PyErr_Clear();
        }
        restore(std::move(pending));
        throw;
    }
    return static_cast<Py_ssize_t>(encoding.size());
}

// A subclass of bytearray is written through bytearray's own methods at the
// Python level, ending exactly where the encoding does as above: PyPy's
// PyByteArray_Size, _Resize and _AsString follow a subclass's __len__.
Py_ssize_t encode_into_bytearray_subclass(const DiffEncoding& encoding, PyObject* target,
                                          Py_ssize_t offset) {
    PyObject* base = reinterpret_cast<PyObject*>(&PyByteArray_Type);
    OwnedRef length = require_new(PyObject_CallMethod(base, "__len__", "O", target));
    const Py_ssize_t old_length = require_number(PyLong_AsSsize_t(length.get()));
    const Py_ssize_t start = offset == kAppend ? old_length : offset;
    const Py_ssize_t end = end_of(start, encoding.size());
    const Py_ssize_t from = std::min(start, old_length);
    // target[from:] = zeros up to start, then the encoding: one assignment,
    // which changes nothing when it fails.
    OwnedRef tail = require_new(PyBytes_FromStringAndSize(nullptr, end - from));
    auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(tail.get()));
    std::memset(bytes, 0, static_cast<std::size_t>(start - from));
    write_encoding(encoding, bytes + (start - from));
    OwnedRef first = require_new(PyLong_FromSsize_t(from));
    OwnedRef where = require_new(PySlice_New(first.get(), nullptr, nullptr));
    OwnedRef done = require_new(PyObject_CallMethod(base, "__setitem__", "OOO", target, where.get(), tail.get()));
    return static_cast<Py_ssize_t>(encoding.size());
}

[[noreturn]] void throw_read_only(PyObject* target) {
    std::string message = "encode_into needs a writable buffer; '";
    message += type_qualname(Py_TYPE(target));
    message += "' object is read-only";
    throw_error(PyExc_TypeError, message);
}

Py_ssize_t encode_into_fixed(const DiffEncoding& encoding, PyObject* target, Py_ssize_t offset) {
    // Taken read-only first, so that a read-only buffer is told apart from
    // an object that is no buffer at all (which keeps the host's TypeError);
    // then given back while Python code asks whether it is writable, and
    // taken again to be written.
    BufferView buffer;
    buffer.require(target, PyBUF_STRIDES, BufferView::Use::unread);
    buffer.release();
    const bool writable = writable_at_python_level(target);
    buffer.require(target, PyBUF_STRIDES);
    const Py_buffer& view = buffer.view();
    if (!writable || view.readonly) throw_read_only(target);
    // An empty buffer is contiguous whatever its strides, as CPython says
    // and PyPy does not.
    if (view.len != 0 && !PyBuffer_IsContiguous(const_cast<Py_buffer*>(&view), 'C')) {
        throw_error(PyExc_TypeError, "encode_into needs a C-contiguous buffer");
    }
    const Py_ssize_t start = offset == kAppend ? view.len : offset;
    const Py_ssize_t end = end_of(start, encoding.size());
    if (end > view.len) {
        std::string message = "buffer too small: encoding from offset " + std::to_string(start) + " needs " +
                              std::to_string(end) + " bytes, the buffer has " + std::to_string(view.len);
        throw_error(PyExc_ValueError, message);
    }
    write_encoding(encoding, buffer.writable_bytes() + start);
    return static_cast<Py_ssize_t>(encoding.size());
}

}  // namespace

void write_encoding(const DiffEncoding& encoding, std::uint8_t* out) {
    if (encoding.write_to(out) || test_hooks::fail_encoding()) [[unlikely]] {
        throw_error(PyExc_Exception, "Failed to serialize graph diff.");
    }
}

PyObject* to_bytes(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const DiffEncoding encoding(object->diff);
        // The encoding is written straight into the new bytes object's storage:
        // one large buffer instead of a buffer and its copy.
        OwnedRef bytes = OwnedRef::consuming(
            require_or_report(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(encoding.size()))));
        write_encoding(encoding, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
        return bytes.release();
    });
}

PyObject* encoded_size(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        return new_count(DiffEncoding(object->diff).size());
    });
}

PyObject* encode_into(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [buffer_argument, offset_object] =
            parse_arguments(encode_into_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        // Held until the last byte is written: Python code run by the offset's
        // __index__ or by a buffer export may read the diff, never change it.
        SharedBorrow borrow(object);
        const Py_ssize_t offset = extract_offset(offset_object);
        const DiffEncoding encoding(object->diff);
        const Py_ssize_t written = PyByteArray_CheckExact(buffer_argument)
                                       ? encode_into_bytearray(encoding, buffer_argument, offset)
                                   : PyByteArray_Check(buffer_argument)
                                       ? encode_into_bytearray_subclass(encoding, buffer_argument, offset)
                                       : encode_into_fixed(encoding, buffer_argument, offset);
        return new_count(static_cast<std::size_t>(written));
    });
}

}  // namespace tarnu::py
