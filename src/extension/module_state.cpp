#include "module_state.hpp"

namespace tarnu::py {

constinit ModuleState module_state{};

// Registered with Py_AtExit by module.cpp on CPython, so it runs after the
// interpreter has been finalized: no Python object is alive and no C-API
// call may be made. The objects died with the interpreter; only the
// pointers to them are dropped, so that a new interpreter in the same
// process makes its own.
void forget_module_state() noexcept {
    module_state = ModuleState{};
}

}  // namespace tarnu::py
