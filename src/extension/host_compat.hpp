#pragma once

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

}  // namespace tarnu::py
