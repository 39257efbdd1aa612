// The module's one exported symbol, PyInit_tarnu_api: single-phase
// initialisation with a process-wide cache, so that importing the module again
// (after `del sys.modules["tarnu_api"]`, or a reload) hands back the very same
// module object and the same class.
//
// That cache, the class, the interned names and the fatal-error class belong
// to the interpreter that made them. So the module is made in the main
// interpreter only: a subinterpreter's import is refused with ImportError
// before anything is created (objects made there would die with it while the
// cache still pointed at them, and a legacy subinterpreter that ends clears
// the dict of every module it imported). When the main interpreter is
// finalized (an embedding program's Py_Finalize), the process-wide pointers
// are forgotten, so that an interpreter initialized after it builds the
// module afresh.

#include "arrow_batch_object.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "graph_diff_object.hpp"
#include "host_compat.hpp"
#include "interned.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "read_methods.hpp"
#include "restore_methods.hpp"
#include "test_hooks.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarnu_api",
    "",
    0,
    private_module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void register_class(PyObject* module) {
    PyTypeObject* type = graph_diff_type();
    test_hooks::seed_module_all(module);
    OwnedRef all = OwnedRef::consuming(PyObject_GetAttr(module, interned_names.dunder_all));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_pending_error();
        }
        PyErr_Clear();
        all = require_new(PyList_New(0));
        require(PyObject_SetAttr(module, interned_names.dunder_all, all.get()));
    } else if (!type_has_flag(all.get(), Py_TPFLAGS_LIST_SUBCLASS)) {
        throw_downcast_error(all.get(), "PyList");
    }
    if (PyList_Append(all.get(), interned_names.class_name) != 0) {
        FetchedError error = fetch_normalized();
        std::string message = "could not append __name__ to __all__: ";
        if (error.value) {
            message += type_qualname(Py_TYPE(error.value.get()));
            message += ": ";
            message += object_text(error.value.get());
        } else {
            message += "no exception was set";
        }
        throw InternalFailure{std::move(message)};
    }
    require(PyObject_SetAttr(module, interned_names.class_name, reinterpret_cast<PyObject*>(type)));
    // Not in __all__: counts() hands it out, pickle looks it up here.
    require(PyObject_SetAttrString(module, "DiffCounts", reinterpret_cast<PyObject*>(counts_type())));
    require(PyModule_AddStringConstant(module, "__version__", TARNU_VERSION));
}

void refuse_subinterpreters() {
    if (in_subinterpreter()) {
        throw_error(PyExc_ImportError,
                    "tarnu_api cannot be imported in a subinterpreter; import it in the main interpreter");
    }
}

PyObject* init_module() {
    refuse_subinterpreters();
    if (module_state.module != nullptr) {
        return OwnedRef::owning(module_state.module).release();
    }
    // Once per interpreter lifetime: the exit functions run, and are
    // forgotten, at each finalization.
    if (!module_state.teardown_registered) {
        if (!call_at_finalization(forget_module_state)) {
            throw_error(PyExc_ImportError, "tarnu_api could not register its clean-up at interpreter exit");
        }
        module_state.teardown_registered = true;
    }
    intern_names();
    OwnedRef module = require_new(PyModule_Create2(&module_definition, 1013));
    register_class(module.get());
    arrow_batch_type();
    test_hooks::add_module_functions(module.get());
    if (module_state.module == nullptr) {
        module_state.module = module.release();
    }
    return OwnedRef::owning(module_state.module).release();
}

}  // namespace

}  // namespace tarnu::py

PyMODINIT_FUNC PyInit_tarnu_api(void) {
    return tarnu::py::entry_frame(tarnu::py::init_module);
}
