#pragma once

#include "python.hpp"

namespace tarnu::py {

// The methods that show a diff's contents without changing them.

// The pending contents as new lists in the encoding's order.
PyObject* node_updates(PyObject* self, PyObject*);   // [(id, {key: value})]
PyObject* deleted_nodes(PyObject* self, PyObject*);  // [id]
PyObject* edge_updates(PyObject* self, PyObject*);   // [(from, to, weight)]
PyObject* deleted_edges(PyObject* self, PyObject*);  // [(from, to)]

// counts(): the four section sizes of the encoding (node updates, deleted
// nodes, edge updates, deleted edges; edges as pairs) as a named tuple, O(1).
PyObject* counts(PyObject* self, PyObject* unused);

// The type of counts()' result, tarnu_api.DiffCounts: made on first use and
// kept. It is a module attribute, so that pickle finds it by its name.
PyTypeObject* counts_type();

// repr(diff): the four counts, O(1), no content. It takes no borrow, so a
// debugger can show a diff in the middle of a call.
PyObject* repr_diff(PyObject* self);

// to_arrow(): {"node_updates", "deleted_nodes", "edge_updates",
// "deleted_edges"} -> PyArrowBatch, rows in the order of the bytes.
PyObject* to_arrow(PyObject* self, PyObject*);

}  // namespace tarnu::py
