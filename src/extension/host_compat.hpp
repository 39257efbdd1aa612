#pragma once

#include <cstddef>
#include <cstdint>

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

// Whether C code may take a dict's keys as they are (PyDict_Next). PyPy's C
// view of a str subclass is sized by its own __len__, and PyDict_Next ends
// the process when that view cannot be made: there the keys are read at the
// Python level instead, and never reach C.
#ifdef PYPY_VERSION
inline constexpr bool dict_keys_reach_c_as_they_are = false;
#else
inline constexpr bool dict_keys_reach_c_as_they_are = true;
#endif

// builtins.map as it was bound when the module first needed it (PyPy reads
// dict keys and calls Arrow producers through it), so that a caller who
// rebinds it later runs no code of theirs there.
PyObject* builtin_map();

// What an Arrow producer's capsule method returned, as C may see it. On
// CPython: the result and its type. PyPy builds a result's C view the
// moment it reaches C, and ends the process when it cannot (a tuple
// subclass whose __len__ is short or raises, an exact tuple holding such a
// bytes): there the method is called at the Python level, and the result
// reaches C only when it is an exact capsule or an exact tuple of exact
// capsules; otherwise `value` stays empty and only the types come.
// For a result of exact tuple, items() and item_type(i) tell its items'
// number and types, the same way on both hosts; items() is -1 otherwise.
struct ProducerResult {
    OwnedRef value;
    OwnedRef type;
    OwnedRef item_types;  // PyPy, a result of exact tuple: a list of its items' types

    Py_ssize_t items() const noexcept;
    PyObject* item_type(Py_ssize_t i) const noexcept;
};
ProducerResult call_arrow_producer(PyObject* method);

// Refuses a released memoryview with the ValueError CPython raises for it
// ("operation forbidden on released memoryview object"). PyPy's
// PyObject_GetBuffer crashes on one, so every buffer is taken after this.
void refuse_released_memoryview(PyObject* object);

// Whether taking the object's buffer and reading it can be trusted with no
// Python code between: taking it runs none, and what Python code ran before
// cannot make the view disagree with the object. Always on CPython, whose
// exporters refuse to move or shrink while a view is held and report their
// real size. On PyPy only for exact bytes, bytearray and memoryview (a
// memoryview's view checked by view_within_object) and a C extension's
// static type (numpy.ndarray): a class written in Python may run code when
// its buffer is taken, and a bytes subclass is sized by its __len__.
bool buffer_is_trusted(PyObject* object);

// PyPy's view of a cast or sliced memoryview keeps the size it was made
// with after the bytearray under it shrank, and reaches past that
// bytearray's end. Such a view is checked in two steps: view_tail_probe,
// called before the buffer is taken (it runs Python code), prepares a copy
// of the memoryview's last byte; view_within_object, called once the buffer
// is taken, makes that copy (which raises MemoryError in that state: false)
// and runs no Python code, so nothing can change the object between the
// check and the read that trusts it. The probe is empty for anything but a
// memoryview, and on CPython, whose exporters cannot shrink while viewed.
OwnedRef view_tail_probe(PyObject* object);

// Whether `view`, taken of `object` after `probe` was made of it, lies
// within what the object holds. Always true on CPython.
bool view_within_object(PyObject* object, PyObject* probe, const Py_buffer& view);

// Whether the pending exception is an allocation failure that the host
// reports as another type: PyPy's C-API layer turns one (a large bytes
// object, say) into SystemError whose one argument is the text
// "<MemoryError object at 0x...>". Leaves the exception as it was.
bool is_wrapped_memory_error();

// Whether `target` may be written to, asked before its buffer is taken: on
// PyPy this runs Python code (the object's own memoryview), which must not
// run while the view is held. PyPy's C-API layer exports some read-only
// buffers as writable (memoryview.toreadonly(), an mmap opened with
// PROT_READ, where a write then faults), so there the object's Python-level
// memoryview is asked (docs/platform.md); on CPython the view's own flag,
// which the caller asks on both hosts, is enough.
bool writable_at_python_level(PyObject* target);

// Makes a type without Py_TPFLAGS_BASETYPE refuse a class statement that
// subclasses it where the host ignores the missing flag: PyPy lets the class
// statement through, and making an instance of such a subclass crashes its
// C-API layer. `refusal` is the type's __init_subclass__ there, a class
// method that raises; CPython refuses the class statement itself.
void refuse_subclasses_where_ignored(PyTypeObject* type, PyMethodDef* refusal);

// Whether the calling thread runs in a subinterpreter (never on PyPy, which
// has none).
bool in_subinterpreter();

// Has `function` run once the interpreter is finalized, where an embedding
// program can finalize it and start another (CPython's Py_AtExit). PyPy
// neither finalizes for a new start nor re-initialises, so nothing is
// registered there. False when the host refused.
bool call_at_finalization(void (*function)());

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

// What the host's collector has been told an object holds outside its heap,
// for an object whose size changes with use: PyPy is told the growth (see
// add_memory_pressure); on CPython the type is empty and every call is
// nothing, so `measure` never runs there.
#ifdef PYPY_VERSION
class MemoryPressure {
public:
    // Tells the collector how much more `measure()` (the bytes held now)
    // is than it was last told.
    template <class Measure>
    void report(Measure&& measure) noexcept {
        const std::size_t now = measure();
        if (now > reported_bytes_) add_memory_pressure(now - reported_bytes_);
        reported_bytes_ = now;
        unreported_changes_ = 0;
    }
    // Counts a change; measuring walks the object's memory, so it is worth
    // doing every 64 changes (true then).
    bool report_due_after_change() noexcept { return ++unreported_changes_ >= 64; }

private:
    std::size_t reported_bytes_ = 0;
    std::uint32_t unreported_changes_ = 0;
};
#else
class MemoryPressure {
public:
    template <class Measure>
    void report(Measure&&) noexcept {}
    bool report_due_after_change() noexcept { return false; }
};
#endif

}  // namespace tarnu::py
