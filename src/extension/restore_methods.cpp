#include "restore_methods.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "buffer_view.hpp"
#include "bytes/graph_diff_from_bytes.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "graph_diff_object.hpp"
#include "method_support.hpp"
#include "py_ref.hpp"

namespace tarnu::py {

namespace {

// A new PyGraphDiff that takes over `diff`.
PyObject* new_graph_diff(GraphDiff&& diff) { return new_graph_diff_instance(graph_diff_type(), std::move(diff)); }

PyObject* decode_to_graph_diff(PyObject* data) {
    DecodeResult result = [&] {
        BufferView buffer;
        // With strides, so that a strided or reversed view is refused on
        // PyPy too, where PyBUF_SIMPLE gives the memory under it.
        buffer.require(data, PyBUF_RECORDS_RO);
        if (!buffer.c_contiguous()) throw_error(PyExc_TypeError, "from_bytes needs a C-contiguous buffer");
        return graph_diff_from_bytes(static_cast<const std::uint8_t*>(buffer.data()), buffer.bytes());
    }();
    if (auto* error = std::get_if<DecodeError>(&result)) {
        throw_error(PyExc_ValueError,
                    "invalid encoded diff at byte " + std::to_string(error->offset) + ": " + error->reason);
    }
    return new_graph_diff(std::get<GraphDiff>(std::move(result)));
}

}  // namespace

// Also the module's private function, which gets the module as its first argument.
PyObject* from_bytes(PyObject*, PyObject* data) {
    return entry_frame([&] { return decode_to_graph_diff(data); });
}

PyObject* copy_diff(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        return new_graph_diff(object->diff.clone());
    });
}

PyObject* deepcopy_diff(PyObject* self, PyObject*) {
    // The record holds no Python objects: a deep copy is the same clone.
    return copy_diff(self, nullptr);
}

PyObject* reduce_diff(PyObject* self, PyObject*) {
    return entry_frame([&] {
        checked_self(self);
        OwnedRef module = require_new(PyImport_ImportModule("tarnu_api"));
        OwnedRef restore = require_new(PyObject_GetAttrString(module.get(), private_module_functions[0].ml_name));
        OwnedRef bytes = require_new(PyObject_CallMethod(self, "to_bytes", nullptr));
        OwnedRef arguments = require_new(PyTuple_Pack(1, bytes.get()));
        return require(PyTuple_Pack(2, restore.get(), arguments.get()));
    });
}

PyObject* sizeof_diff(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const std::size_t size = static_cast<std::size_t>(Py_TYPE(self)->tp_basicsize) + object->diff.memory_bytes();
        return require(PyLong_FromSize_t(size));
    });
}

PyMethodDef private_module_functions[] = {
    {"_graph_diff_from_bytes", as_cfunction(from_bytes), METH_O,
     "_graph_diff_from_bytes(data, /)\n--\n\nPyGraphDiff.from_bytes(data), where pickle can find it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarnu::py
