#pragma once

#include "diff/node_graph_diff.hpp"
#include "python.hpp"

namespace tarnu::py {

// The instance layout of PyGraphDiff: the host's header, the record the
// instance owns, then the borrow flag (0 free, n > 0 shared borrows, -1 one
// exclusive borrow). No __dict__, no weak references.
struct PyGraphDiffObject {
    PyObject_HEAD
    NodeGraphDiff diff;
    Py_ssize_t borrow_flag;
};

// The type object once made (null before); graph_diff_type() makes it.
extern PyTypeObject* graph_diff_type_object;

// The PyGraphDiff type object, made on first request and kept for the life of
// the process. Throws PendingError with RuntimeError "An error occurred while
// initializing class PyGraphDiff" (the cause kept) when the host refuses it.
PyTypeObject* graph_diff_type();

// A new instance of `type` (PyGraphDiff or a subtype) that takes over
// `diff`, with its borrow flag free. Throws PendingError when the host
// cannot allocate it; `diff` is then left as it was.
PyObject* new_graph_diff_instance(PyTypeObject* type, NodeGraphDiff&& diff);

// Forgets the type object after the interpreter that made it has been
// finalized (it died with that interpreter).
void forget_graph_diff_type() noexcept;

}  // namespace tarnu::py
