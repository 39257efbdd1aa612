#pragma once

#include "node_update/node_properties.hpp"
#include "python.hpp"

namespace tarnu::py {

// Strings the module looks up often, interned once and kept for the life of
// the process. Filled by intern_names() during module initialisation.
struct InternedNames {
    // The dict key of each node property, as a field named after it:
    // P::of(interned_names) is property P's key.
#define TARNU_NODE_PROPERTY_KEY(member, dict_key, json_key, kind, read_position) PyObject* member;
    TARNU_NODE_PROPERTIES(TARNU_NODE_PROPERTY_KEY)
#undef TARNU_NODE_PROPERTY_KEY
    PyObject* dunder_bool;
    PyObject* dunder_get;
    PyObject* dunder_module;
    PyObject* dunder_name;
    PyObject* dunder_qualname;
    PyObject* dunder_all;
    PyObject* class_name;  // "PyGraphDiff"
};

extern InternedNames interned_names;

// When the host cannot make a string, its pending error is printed and the
// call fails as an internal failure (the fatal-error exception "Python API
// call failed"); a MemoryError is passed on as it is.
void intern_names();
// Forgets the names after the interpreter that made them has been finalized.
void forget_interned_names() noexcept;

}  // namespace tarnu::py
