#include "host_compat.hpp"

#include "errors.hpp"

namespace tarnu::py {

OwnedRef exact_builtin_copy(PyObject* object, PyTypeObject* base) {
#ifdef PYPY_VERSION
    if (Py_TYPE(object) != base) {
        // base.__getitem__(object, slice(None)) copies at the Python level,
        // from the object's real storage, into an exact instance of base.
        OwnedRef everything = require_new(PySlice_New(nullptr, nullptr, nullptr));
        OwnedRef copy = require_new(
            PyObject_CallMethod(reinterpret_cast<PyObject*>(base), "__getitem__", "OO", object, everything.get()));
        if (Py_TYPE(copy.get()) != base) {
            throw_error(PyExc_TypeError, "a subclass's __getitem__ of the base type returned another type");
        }
        return copy;
    }
#else
    (void)base;
#endif
    return OwnedRef::owning(object);
}

OwnedRef exact_float_value(PyObject* object) {
#ifdef PYPY_VERSION
    if (PyFloat_Check(object) && Py_TYPE(object) != &PyFloat_Type) {
        return require_new(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyFloat_Type), "__float__", "O", object));
    }
#endif
    return OwnedRef::owning(object);
}

#ifdef PYPY_VERSION
OwnedRef dict_value(PyObject* dict, PyObject* key) {
    // PyDict_Contains reads the stored entries, a subclass's too, and makes
    // no view of the value.
    if (require(PyDict_Contains(dict, key)) == 0) return {};
    if (Py_TYPE(dict) == &PyDict_Type) return require_new(PyObject_GetItem(dict, key));
    // A subclass's own __getitem__ would run: read an exact copy of its
    // entries instead (PyDict_Copy copies the stored entries).
    OwnedRef entries = require_new(PyDict_Copy(dict));
    return require_new(PyObject_GetItem(entries.get(), key));
}
#endif

void refuse_released_memoryview(PyObject* object) {
#ifdef PYPY_VERSION
    if (!PyMemoryView_Check(object)) return;
    // Any attribute of a released view raises the ValueError.
    OwnedRef probe = require_new(PyObject_GetAttrString(object, "readonly"));
#else
    (void)object;
#endif
}

bool buffer_is_trusted(PyObject* object) {
#ifdef PYPY_VERSION
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type) return true;
    // A C extension's static type, as numpy.ndarray. PyPy flags its own
    // array.array and mmap.mmap as heap types too: they are copied like a
    // Python class, since a type found by name could be a caller's stand-in.
    return (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0;
#else
    (void)object;
    return true;
#endif
}

}  // namespace tarnu::py
