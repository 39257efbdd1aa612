#pragma once

#include <exception>
#include <new>

#include "errors.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// Every function the interpreter calls runs its body through this frame, so
// that no C++ exception crosses into the interpreter:
// - PendingError: a Python exception is already set; return NULL.
// - std::bad_alloc: MemoryError. The core leaves its record consistent.
// - anything else is a failure of the module's own code and becomes the
//   fatal-error exception carrying its message.
template <class Body>
PyObject* entry_frame(Body&& body) noexcept {
    try {
        return body();
    } catch (const PendingError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalFailure& failure) {
        set_fatal_error(failure.message);
    } catch (const std::exception& failure) {
        set_fatal_error(failure.what());
    } catch (...) {
        set_fatal_error("internal failure without a message");
    }
    return nullptr;
}

}  // namespace tarnu::py
