#pragma once

#include "python.hpp"

namespace tarnu::py {

// Restoring, copying, pickling and sizing a PyGraphDiff.

// PyGraphDiff.from_bytes(data), a class method: the diff that `data` (any
// object with a buffer) encodes; ValueError "invalid encoded diff at byte
// {offset}: {reason}" for anything that is not an encoding.
PyObject* from_bytes(PyObject* cls, PyObject* data);

// copy.copy and copy.deepcopy: an independent diff cloned from the record.
PyObject* copy_diff(PyObject* self, PyObject*);
PyObject* deepcopy_diff(PyObject* self, PyObject* memo);

// pickle: (tarnu_api._graph_diff_from_bytes, (self.to_bytes(),)). The class
// reports its module as "builtins", where pickle cannot find it; the module's
// private function can be found.
PyObject* reduce_diff(PyObject* self, PyObject*);

// sys.getsizeof: the instance plus every table its record holds.
PyObject* sizeof_diff(PyObject* self, PyObject*);

// The module's private functions (the one that pickle imports).
extern PyMethodDef private_module_functions[];

}  // namespace tarnu::py
