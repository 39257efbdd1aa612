// The module's one exported symbol, PyInit_tarnu_api: single-phase
// initialisation with a process-wide cache, so that importing the module again
// (after `del sys.modules["tarnu_api"]`, or a reload) hands back the very same
// module object and the same class.

#include "conversions.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "graph_diff_object.hpp"
#include "interned.hpp"
#include "py_ref.hpp"
#include "test_hooks.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarnu_api",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Filled by the first successful initialisation and never emptied.
PyObject* cached_module = nullptr;

void register_class(PyObject* module) {
    PyTypeObject* type = graph_diff_type();
    test_hooks::seed_module_all(module);
    OwnedRef all = OwnedRef::consuming(PyObject_GetAttr(module, names.dunder_all));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_pending_error();
        }
        PyErr_Clear();
        all = require_new(PyList_New(0));
        if (PyObject_SetAttr(module, names.dunder_all, all.get()) != 0) {
            throw_pending_error();
        }
    } else if (!type_has_flag(all.get(), Py_TPFLAGS_LIST_SUBCLASS)) {
        throw_downcast_error(all.get(), "PyList");
    }
    if (PyList_Append(all.get(), names.class_name) != 0) {
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
    if (PyObject_SetAttr(module, names.class_name, reinterpret_cast<PyObject*>(type)) != 0) {
        throw_pending_error();
    }
    if (PyModule_AddStringConstant(module, "__version__", TARNU_VERSION) != 0) {
        throw_pending_error();
    }
}

PyObject* init_module() {
    if (cached_module != nullptr) {
        return OwnedRef::owning(cached_module).release();
    }
    intern_names();
    OwnedRef module = require_new(PyModule_Create2(&module_definition, 1013));
    register_class(module.get());
    if (cached_module == nullptr) {
        cached_module = module.release();
    }
    return OwnedRef::owning(cached_module).release();
}

}  // namespace

}  // namespace tarnu::py

PyMODINIT_FUNC PyInit_tarnu_api(void) {
    return tarnu::py::entry_frame(tarnu::py::init_module);
}
