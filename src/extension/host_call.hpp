#pragma once

#include <cassert>
#include <concepts>
#include <string>

#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// The two ways a failure unwinds, and the policies for a failed C-API call
// (see errors.hpp). Apart from errors.hpp so that the code errors.cpp itself
// builds on (text.cpp) can use them without including errors.hpp back.

// A Python exception is set in the interpreter; the entry frame lets it
// through as a NULL return. Made only right after the exception is set: a
// debug build checks that one is.
class PendingError {
public:
    PendingError() noexcept { assert(PyErr_Occurred() != nullptr); }
};

// A failure of the module's own code, not of the caller's input. The entry
// frame turns it into the module's fatal-error exception with this text.
struct InternalFailure {
    std::string message;
};

// Unwinds with the exception of a failed host call. It makes sure an
// exception really is pending (SystemError "attempted to fetch exception but
// none was set" when the host failed silently) and catches the fatal-error
// class coming back from Python code.
[[noreturn]] void throw_pending_error();

// A host call that must not fail did: print the pending error and fail as an
// internal failure "Python API call failed". MemoryError is passed on instead.
[[noreturn]] void report_host_failure();

// A C-API call that returns NULL on failure.
template <class T>
inline T* require(T* result) {
    if (result == nullptr) [[unlikely]] {
        throw_pending_error();
    }
    return result;
}

// A C-API call that returns an int, negative on failure. Only an int: the
// conversions to a C number, whose -1 is also a value, use require_number.
inline int require(std::same_as<int> auto status) {
    if (status < 0) [[unlikely]] {
        throw_pending_error();
    }
    return status;
}

// A C-API call that returns 0 on failure and a true value on success: the
// argument parsers (PyArg_ParseTuple, PyArg_ParseTupleAndKeywords,
// PyArg_UnpackTuple).
inline void require_parsed(int status) {
    if (status == 0) [[unlikely]] {
        throw_pending_error();
    }
}

// A C-API conversion to a C number, which returns -1 both for a failure and
// for the value -1: it failed only if an exception is pending.
template <class Number>
inline Number require_number(Number value) {
    if (value == static_cast<Number>(-1) && PyErr_Occurred() != nullptr) [[unlikely]] {
        throw_pending_error();
    }
    return value;
}

// A C-API call returning a new reference, which the result takes over.
inline OwnedRef require_new(PyObject* new_reference) {
    return OwnedRef::consuming(require(new_reference));
}

// A C-API call returning NULL only when the host is broken (or out of memory).
template <class T>
inline T* require_or_report(T* result) {
    if (result == nullptr) [[unlikely]] {
        report_host_failure();
    }
    return result;
}

// Drops the pending error of a failed attribute lookup, which then counts as
// "no such attribute". An exception that is not an Exception subclass
// (KeyboardInterrupt, SystemExit) is no lookup failure: it unwinds instead.
void drop_lookup_error();

}  // namespace tarnu::py
