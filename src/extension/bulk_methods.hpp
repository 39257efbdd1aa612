#pragma once

#include "python.hpp"

namespace tarnu::py {

// The bulk methods of PyGraphDiff: one call for a whole batch of items, with
// exactly the effect of the single-item method called for each item in order.
// Every argument is checked and converted before the first change; out of
// memory part-way, the diff holds the effect of a prefix of the items.
PyObject* add_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);
PyObject* delete_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);
PyObject* delete_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);
PyObject* add_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);

}  // namespace tarnu::py
