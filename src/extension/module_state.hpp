#pragma once

#include <cstddef>

#include "diff/graph_diff.hpp"
#include "node_update/node_properties.hpp"
#include "python.hpp"

namespace tarnu::py {

// Strings the module looks up often, interned once and kept for the life of
// the process. Filled by intern_names() (interned.hpp) during module initialisation.
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
    PyObject* bytes;  // uuid.UUID's attribute
    PyObject* class_name;  // "PyGraphDiff"
};

// The last result of counts() or of repr(), kept (owned) with the sizes it
// shows, so that asking again while nothing changed hands out the same object.
struct LastResult {
    GraphDiff::Counts sizes{};
    PyObject* object = nullptr;
};

// The callables with which PyPy calls an Arrow producer at the Python level
// (host_compat.cpp); CPython never needs them.
struct ProducerTools {
    PyObject* starmap = nullptr;              // itertools.starmap
    PyObject* tee = nullptr;                  // itertools.tee
    PyObject* chain_from_iterable = nullptr;  // itertools.chain.from_iterable
    PyObject* map = nullptr;                  // builtins.map
};

// Everything the module makes once and keeps for the life of the process:
// the objects of the interpreter that imported it. Each is made on first use
// by the file that owns its kind (named beside it) and reached through
// `module_state`; forget_module_state() is the one teardown.
struct ModuleState {
    PyObject* module = nullptr;                 // module.cpp: the initialised module, handed out again
    PyTypeObject* graph_diff_type = nullptr;    // graph_diff_object.cpp: PyGraphDiff
    PyTypeObject* arrow_batch_type = nullptr;   // arrow_batch_object.cpp: PyArrowBatch
    PyTypeObject* counts_type = nullptr;        // read_methods.cpp: DiffCounts
    PyObject* internal_error_class = nullptr;   // errors.cpp: tarnu_api.InternalError
    PyObject* uuid_class = nullptr;             // bulk_ids.cpp: uuid.UUID, once an id item needs it
    ProducerTools producer_tools{};             // host_compat.cpp: PyPy, once a producer is called or a dict read
    PyObject* view_tail = nullptr;              // host_compat.cpp: PyPy, once a memoryview is viewed
    InternedNames names{};                      // interned.cpp
    LastResult last_counts{};                   // read_methods.cpp
    LastResult last_repr{};                     // read_methods.cpp
    bool teardown_registered = false;           // module.cpp: forget_module_state is registered for exit
};

extern constinit ModuleState module_state;

// The interned names, under the name every converter uses.
inline constinit InternedNames& interned_names = module_state.names;

// Forgets every object above after the interpreter that made them has been
// finalized: they died with it. Runs where no C-API call may be made, so it
// only drops pointers, and it registers nothing again (the next import does).
void forget_module_state() noexcept;

}  // namespace tarnu::py
