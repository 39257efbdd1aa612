#pragma once

#include "python.hpp"

namespace tarnu::py {

// PyGraphDiff.add_snapshot_change(*, old_nodes, new_nodes, old_edges,
// new_edges): the change between two snapshots of a graph, recorded as the
// calls that turn the old one into the new (src/diff/snapshot_change.hpp).
PyObject* add_snapshot_change(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);

}  // namespace tarnu::py
