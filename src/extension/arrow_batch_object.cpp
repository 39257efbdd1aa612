#include "arrow_batch_object.hpp"

#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "entry_frame.hpp"
#include "errors.hpp"
#include "host_compat.hpp"
#include "method_support.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"

namespace tarnu::py {

namespace {

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";
constexpr char kStreamCapsule[] = "arrow_array_stream";

// A capsule owns its struct. A consumer that took the contents moved them out
// and marked the struct released; one that did not (or never came) leaves
// them for the capsule to release here.
template <class Struct, const char* Name>
void capsule_destructor(PyObject* capsule) {
    auto* pointer = static_cast<Struct*>(PyCapsule_GetPointer(capsule, Name));
    if (pointer == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    std::unique_ptr<Struct> owned(pointer);
    if (owned->release != nullptr) owned->release(owned.get());
}

// A capsule named `Name` around a struct that `fill` fills in.
template <class Struct, const char* Name, class Fill>
OwnedRef new_capsule(Fill&& fill) {
    auto owned = std::make_unique<Struct>();
    owned->release = nullptr;
    fill(owned.get());
    OwnedRef capsule = OwnedRef::consuming(PyCapsule_New(owned.get(), Name, capsule_destructor<Struct, Name>));
    if (!capsule) {
        if (owned->release != nullptr) owned->release(owned.get());
        throw_pending_error();
    }
    static_cast<void>(owned.release());  // the capsule owns it now
    return capsule;
}

constexpr char kTypeName[] = "tarnu_api.PyArrowBatch";

// The batch an instance holds. Only new_batch_object makes instances, but a
// host that lets object.__new__ make one anyway would hand out an instance
// holding none: it is refused, not read.
const std::shared_ptr<const ExportBatch>& checked_batch(PyObject* self) {
    if (Py_TYPE(self) != module_state.arrow_batch_type) [[unlikely]] throw_downcast_error(self, "PyArrowBatch");
    const auto& batch = reinterpret_cast<PyArrowBatchObject*>(self)->batch;
    if (!batch) [[unlikely]] {
        throw_error(PyExc_TypeError, std::string("this ") + kTypeName + " holds no batch: only PyGraphDiff.to_arrow() makes them");
    }
    return batch;
}

OwnedRef schema_capsule(const ExportBatch& batch) {
    return new_capsule<ArrowSchema, kSchemaCapsule>([&](ArrowSchema* out) { export_arrow_schema(batch, out); });
}

// The optional requested_schema of __arrow_c_array__ and __arrow_c_stream__.
// The batch has one layout: a consumer that asked for another casts it.
void parse_requested_schema(const char* method, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = nullptr;
    const std::string format = std::string("|O:") + method;
    require_parsed(PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &requested));
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
    return entry_frame([&] { return schema_capsule(*checked_batch(self)).release(); });
}

PyObject* arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_frame([&] {
        const auto& batch = checked_batch(self);
        parse_requested_schema("__arrow_c_array__", args, kwargs);
        OwnedRef schema = schema_capsule(*batch);
        OwnedRef array = new_capsule<ArrowArray, kArrayCapsule>([&](ArrowArray* out) { export_arrow_array(batch, out); });
        return require(PyTuple_Pack(2, schema.get(), array.get()));
    });
}

PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_frame([&] {
        const auto& batch = checked_batch(self);
        parse_requested_schema("__arrow_c_stream__", args, kwargs);
        return new_capsule<ArrowArrayStream, kStreamCapsule>([&](ArrowArrayStream* out) {
                   export_arrow_stream(batch, out);
               }).release();
    });
}

Py_ssize_t batch_length(PyObject* self) {
    Py_ssize_t length = -1;
    static_cast<void>(entry_frame([&] {
        length = static_cast<Py_ssize_t>(checked_batch(self)->length);
        return Py_None;
    }));
    return length;
}

PyObject* batch_repr(PyObject* self) {
    return entry_frame([&] {
        const ExportBatch& batch = *checked_batch(self);
        std::string text = "<PyArrowBatch of " + std::to_string(batch.length) + " rows: ";
        for (std::size_t c = 0; c < batch.columns.size(); ++c) {
            if (c > 0) text += ", ";
            text += batch.columns[c].name;
        }
        text += '>';
        return require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// T() and T.__new__(T): refused on every host, with CPython's own text for
// a type that cannot be instantiated. (Py_TPFLAGS_DISALLOW_INSTANTIATION,
// where the host has it, would leave T.__new__ to object.__new__, whose
// refusal reads differently: one slot gives every host the same words.)
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    return entry_frame([]() -> PyObject* {
        throw_error(PyExc_TypeError, std::string("cannot create '") + kTypeName + "' instances");
    });
}

// A class statement naming the type as a base: CPython refuses it for the
// missing Py_TPFLAGS_BASETYPE before this runs; PyPy builds the class and
// then calls this.
PyObject* refuse_subclass(PyObject*, PyObject*, PyObject*) {
    return entry_frame([]() -> PyObject* {
        throw_error(PyExc_TypeError, std::string("type '") + kTypeName + "' is not an acceptable base type");
    });
}

// A batch never changes: a copy of it is the batch itself.
PyObject* copy_batch(PyObject* self, PyObject*) {
    return entry_frame([&] {
        static_cast<void>(checked_batch(self));
        return OwnedRef::owning(self).release();
    });
}

PyObject* deepcopy_batch(PyObject* self, PyObject*) { return copy_batch(self, nullptr); }

// Pickling would need a way back to the type, which the module does not
// name: the diff pickles, and an Arrow library's own batch pickles.
PyObject* refuse_pickle(PyObject*, PyObject*) {
    return entry_frame([]() -> PyObject* {
        throw_error(PyExc_TypeError, std::string("cannot pickle '") + kTypeName +
                                         "' object: pickle the PyGraphDiff, or the batch as read by an Arrow library");
    });
}

void batch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<PyArrowBatchObject*>(self)->batch);
    type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyMethodDef batch_methods[] = {
    {"__arrow_c_schema__", as_cfunction(arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe batch's schema (a struct of its columns) in an 'arrow_schema' capsule."},
    {"__arrow_c_array__", as_cfunction(arrow_c_array), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The batch as a struct array: a pair of 'arrow_schema' and 'arrow_array' capsules. requested_schema is "
     "accepted and ignored, as the PyCapsule interface allows: the batch has one layout, which a consumer that "
     "asked for another casts."},
    {"__arrow_c_stream__", as_cfunction(arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The batch as a stream of one record batch, in an 'arrow_array_stream' capsule. requested_schema is "
     "accepted and ignored, as for __arrow_c_array__."},
    {"__copy__", as_cfunction(copy_batch), METH_NOARGS, "__copy__($self, /)\n--\n\nThe batch itself: it never changes."},
    {"__deepcopy__", as_cfunction(deepcopy_batch), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe batch itself: it never changes."},
    {"__reduce__", as_cfunction(refuse_pickle), METH_NOARGS, "__reduce__($self, /)\n--\n\nRefused: a batch is not pickled."},
    {"__reduce_ex__", as_cfunction(refuse_pickle), METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\nRefused: a batch is not pickled."},
    {"__init_subclass__", as_cfunction(refuse_subclass), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "__init_subclass__($type, /, **kwargs)\n--\n\nRefused: the type is not a base."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char batch_doc[] =
    "A record batch of a diff's contents, made by PyGraphDiff.to_arrow(). It exports itself through the Arrow "
    "PyCapsule interface: pass it to pyarrow.record_batch(), polars.DataFrame() or any Arrow consumer.";

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>(batch_doc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_methods, batch_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    kTypeName,
    static_cast<int>(sizeof(PyArrowBatchObject)),
    0,
    Py_TPFLAGS_DEFAULT,  // no Py_TPFLAGS_BASETYPE: not a base
    batch_slots,
};

}  // namespace

OwnedRef new_batch_object(ExportBatch&& batch) {
    const std::size_t held = batch.buffer_bytes();
    auto shared = std::make_shared<const ExportBatch>(std::move(batch));
    PyTypeObject* type = arrow_batch_type();
    PyObject* self = require(type->tp_alloc(type, 0));
    std::construct_at(&reinterpret_cast<PyArrowBatchObject*>(self)->batch, std::move(shared));
    add_memory_pressure(held);  // freed with the object and the last export it made
    return OwnedRef::consuming(self);
}

PyTypeObject* arrow_batch_type() {
    if (module_state.arrow_batch_type != nullptr) [[likely]] return module_state.arrow_batch_type;
    PyObject* type = PyType_FromSpec(&batch_spec);
    if (type == nullptr) throw_with_cause(PyExc_RuntimeError, "An error occurred while initializing class PyArrowBatch");
    module_state.arrow_batch_type = reinterpret_cast<PyTypeObject*>(type);
    return module_state.arrow_batch_type;
}

}  // namespace tarnu::py
