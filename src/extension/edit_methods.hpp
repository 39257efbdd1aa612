#pragma once

#include "python.hpp"

namespace tarnu::py {

// The single-item methods that read or change the record: six of the eight
// original methods and clear (to_bytes is with the encoders). Their texts,
// docs and behaviour are fixed; each takes the borrow it needs for its call.
PyObject* num_nodes(PyObject* self, PyObject* unused);
PyObject* num_edges(PyObject* self, PyObject* unused);
PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);
PyObject* delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);
PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);
PyObject* delete_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names);
PyObject* clear(PyObject* self, PyObject* unused);

}  // namespace tarnu::py
