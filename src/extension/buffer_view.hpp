#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "errors.hpp"
#include "host_compat.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// A buffer taken from an exporter and given back when the holder goes (or
// release() is called), on every path. Neither copied nor moved: the
// exporter may know the view by its address.
//
// Read the bytes only while no Python code can run: PyPy lets an exporter
// resize, close or release its memory while a view of it is held. On PyPy a
// bytes or bytearray subclass is viewed through an exact copy, since the
// view PyPy makes of one is sized by the subclass's __len__.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Takes object's buffer with its format and strides. Returns false, with
    // no exception pending, when the object exports no buffer; any other
    // failure of the exporter is passed on (PendingError).
    bool take(PyObject* object) {
        open_exporter(object);
        if (PyObject_GetBuffer(exporter_.get(), &view_, PyBUF_RECORDS_RO) == 0) {
            taken_ = true;
            return true;
        }
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_BufferError)) {
            PyErr_Clear();
            return false;
        }
        throw_pending_error();
    }

    // Takes object's buffer with the given flags; every failure, an object
    // that exports no buffer included, is passed on (PendingError). A
    // memoryview whose bytearray shrank under it on PyPy, its view reaching
    // past the bytearray's end, raises BufferError, as the shrink itself
    // does on CPython. A view given back unread may skip that check
    // (`unread`), which costs PyPy a call at the Python level.
    enum class Use { read, unread };
    void require(PyObject* object, int flags, Use use = Use::read) {
        open_exporter(object);
        const OwnedRef probe = use == Use::read ? view_tail_probe(exporter_.get()) : OwnedRef();
        // The probe ran Python code, which may have released the view.
        if (probe) refuse_released_memoryview(exporter_.get());
        take_within(flags, probe.get());
    }

    // The same, checked with a probe made of `object` earlier
    // (view_tail_probe), so that no Python code runs here: a caller that
    // holds other views taken meanwhile probes first.
    void require_probed(PyObject* object, int flags, PyObject* probe) {
        open_exporter(object);
        take_within(flags, probe);
    }

    void release() noexcept {
        if (taken_) PyBuffer_Release(&view_);
        taken_ = false;
        exporter_ = OwnedRef();
    }

    bool taken() const noexcept { return taken_; }
    const Py_buffer& view() const noexcept { return view_; }
    std::uint8_t* writable_bytes() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }
    const void* data() const noexcept { return view_.buf; }
    std::size_t bytes() const noexcept { return static_cast<std::size_t>(view_.len); }
    std::size_t item_size() const noexcept { return static_cast<std::size_t>(view_.itemsize); }
    // PyPy declares the view argument without const.
    bool c_contiguous() const { return PyBuffer_IsContiguous(const_cast<Py_buffer*>(&view_), 'C') != 0; }
    bool one_dimensional() const noexcept { return view_.ndim == 1; }
    // The struct-module format without a native or standard-size prefix
    // ('@', '='; '<' too, the module being built for little-endian Linux);
    // "B" when the exporter gives none.
    std::string_view format() const noexcept {
        std::string_view f = view_.format != nullptr ? view_.format : "B";
        if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
        return f;
    }

private:
    void take_within(int flags, PyObject* probe) {
        py::require(PyObject_GetBuffer(exporter_.get(), &view_, flags));
        taken_ = true;
        if (!view_within_object(exporter_.get(), probe, view_)) {
            throw_error(PyExc_BufferError,
                        "the memoryview reaches past the end of the object under it, which shrank while viewed");
        }
    }

    // Picks what the view is taken from.
    void open_exporter(PyObject* object) {
        release();
        refuse_released_memoryview(object);
        if (PyBytes_Check(object)) {
            exporter_ = exact_builtin_copy(object, &PyBytes_Type);
        } else if (PyByteArray_Check(object)) {
            exporter_ = exact_builtin_copy(object, &PyByteArray_Type);
        } else {
            exporter_ = OwnedRef::owning(object);
        }
    }

    OwnedRef exporter_;
    Py_buffer view_{};
    bool taken_ = false;
};

}  // namespace tarnu::py
