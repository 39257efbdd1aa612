#pragma once

#include <cstddef>
#include <cstdint>

#include "diff/graph_diff.hpp"
#include "host_compat.hpp"
#include "module_state.hpp"
#include "python.hpp"

namespace tarnu::py {

// The instance layout of PyGraphDiff: the host's header, the record the
// instance owns, then the borrow flag (0 free, n > 0 shared borrows, -1 one
// exclusive borrow). No __dict__, no weak references.
struct PyGraphDiffObject {
    PyObject_HEAD
    GraphDiff diff;
    Py_ssize_t borrow_flag;
    // What the host's collector has been told the record holds
    // (report_memory_growth); takes no room on CPython.
    [[no_unique_address]] MemoryPressure memory_pressure;
};

// Tells PyPy's collector how much more memory the record holds than it was
// last told, so that a dropped instance holding large tables is collected
// as soon as its size warrants (CPython frees it by reference count).
inline void report_memory_growth(PyGraphDiffObject* object) noexcept {
    object->memory_pressure.report([object]() noexcept { return object->diff.memory_bytes(); });
}

// The PyGraphDiff type object, made on first request and kept for the life of
// the process. Throws PendingError with RuntimeError "An error occurred while
// initializing class PyGraphDiff" (the cause kept) when the host refuses it.
PyTypeObject* graph_diff_type();

// A new instance of `type` (PyGraphDiff or a subtype) that takes over
// `diff`, with its borrow flag free. Throws PendingError when the host
// cannot allocate it; `diff` is then left as it was.
PyObject* new_graph_diff_instance(PyTypeObject* type, GraphDiff&& diff);

}  // namespace tarnu::py
