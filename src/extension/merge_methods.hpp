#pragma once

#include "python.hpp"

namespace tarnu::py {

// merge(other): records other's content on this diff as the single-item
// methods would (delete_node for each deleted node, add_node for each
// update, delete_edge for each deleted edge, add_edge for each pending edge,
// each list in the order of other's bytes), record to record. Exclusive
// borrow of self, shared of other; other is unchanged, and merging a diff
// into itself changes nothing. Out of memory part-way, MemoryError, and the
// diff holds the effect of a prefix of those calls, as after a bulk method.
PyObject* merge(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);

}  // namespace tarnu::py
