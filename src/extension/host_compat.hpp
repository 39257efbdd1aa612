#pragma once

#include <cstddef>

#include "host_call.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// Where CPython and PyPy's C-API layer need different code for the same
// question (docs/platform.md).

// Whether the object's type carries `flag`, such as Py_TPFLAGS_BYTES_SUBCLASS.
inline bool type_has_flag(PyObject* object, unsigned long flag) {
#ifdef PYPY_VERSION
    // PyPy keeps a type's flags behind a call; its own subclass checks use it too.
    return (static_cast<unsigned long>(PyType_GetFlags(Py_TYPE(object))) & flag) != 0;
#else
    return (Py_TYPE(object)->tp_flags & flag) != 0;
#endif
}

// An instance of a subclass of `base` (bytes or str) as an exact `base`
// holding what the object really holds. PyPy makes the C view of such a
// subclass (its size, and the buffer it exports) from len(), which runs the
// subclass's own __len__: a lying __len__ would pad or cut it. CPython reads
// the object itself, and gets the object back.
OwnedRef exact_builtin_copy(PyObject* object, PyTypeObject* base);

// A float subclass instance as an exact float of the value it holds (PyPy's
// PyFloat_AsDouble calls a subclass's own __float__, CPython reads the
// value); any other object as it is.
OwnedRef exact_float_value(PyObject* object);

// The value stored under `key` in a dict or a dict subclass (whose own
// __getitem__ and __missing__ are not called), or an empty reference when
// there is none. Throws PendingError with what comparing the keys raised.
// PyPy's PyDict_GetItemWithError hands out a borrowed C view of the value
// and aborts the process when making it raises (a str subclass whose
// __len__ raises); there the value is asked for as a new reference, which
// passes the error on.
#ifdef PYPY_VERSION
OwnedRef dict_value(PyObject* dict, PyObject* key);
#else
inline OwnedRef dict_value(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred() != nullptr) [[unlikely]] throw_pending_error();
    return OwnedRef::owning(value);
}
#endif

// Refuses a released memoryview with the ValueError CPython raises for it
// ("operation forbidden on released memoryview object"). PyPy's
// PyObject_GetBuffer crashes on one, so every buffer is taken after this.
void refuse_released_memoryview(PyObject* object);

// Whether taking the object's buffer and reading it can be trusted with no
// Python code between: taking it runs none, and what Python code ran before
// cannot make the view disagree with the object. Always on CPython, whose
// exporters refuse to move or shrink while a view is held and report their
// real size. On PyPy only for exact bytes, bytearray and memoryview and a C
// extension's static type (numpy.ndarray): a class written in Python may run
// code when its buffer is taken, and a bytes subclass is sized by its
// __len__.
bool buffer_is_trusted(PyObject* object);

// Tells the host's collector that an object holds `bytes` more memory
// outside its heap. PyPy sizes its collections by its own heap alone, so a
// dropped object holding large C++ tables would otherwise be freed only
// when unrelated allocation triggers a collection. CPython frees by
// reference count and needs nothing.
inline void add_memory_pressure(std::size_t bytes) noexcept {
#ifdef PYPY_VERSION
    // PyPy's PyTraceMalloc_Track is __pypy__.add_memory_pressure.
    (void)PyTraceMalloc_Track(0, 0, bytes);
#else
    (void)bytes;
#endif
}

}  // namespace tarnu::py
