#pragma once

#include <cassert>
#include <concepts>
#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// How the extension reports errors. A function that fails with a Python
// exception set throws PendingError; a failure of the module's own code throws
// InternalFailure; the entry frame (entry_frame.hpp) turns both, and
// std::bad_alloc, into what the interpreter expects. Nothing else reports.
//
// A failed C-API call meets one of two policies:
// - require(call): the failure is an ordinary error (the caller's input,
//   Python code it ran, memory): its exception is passed on.
// - require_or_report(call): the call fails only when the host is broken:
//   the failure is printed and becomes an InternalFailure, MemoryError aside.
// A new error is set and thrown in one expression: throw_error(type, text)
// and the throw_* helpers below.

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

// The module's fatal-error exception class: derived directly from
// BaseException, so `except Exception` does not swallow it; made once per
// process and kept.
PyObject* fatal_error_class();
// Forgets the class after the interpreter that made it has been finalized.
void forget_fatal_error_class() noexcept;

// Sets the fatal-error exception with `message` as its one argument. Never
// throws: a failure here ends the process, since nothing is left to report it.
void set_fatal_error(std::string_view message) noexcept;

// Drops the pending error of a failed attribute lookup, which then counts as
// "no such attribute". An exception that is not an Exception subclass
// (KeyboardInterrupt, SystemExit) is no lookup failure: it unwinds instead.
void drop_lookup_error();

// Sets an exception of `type` whose one argument is `message`, and unwinds.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

// Sets TypeError "'{qualname}' object cannot be converted to '{target}'", and
// unwinds.
[[noreturn]] void throw_downcast_error(PyObject* object, const char* target);

// Replaces the pending exception by `type(message)` whose __cause__ is the
// exception it replaces, and unwinds.
[[noreturn]] void throw_with_cause(PyObject* type, std::string_view message);

// The pending exception, taken out of the interpreter and normalised.
struct FetchedError {
    OwnedRef type;
    OwnedRef value;
    OwnedRef traceback;
};
FetchedError fetch_normalized();
void restore(FetchedError error);

// Rewrites the pending exception as TypeError "failed to extract field
// {name}.{index}" whose __cause__ is the pending exception. An exception that
// is not an Exception subclass (KeyboardInterrupt, SystemExit) stays as it is.
void wrap_struct_field_error(const char* struct_name, int field_index);

// Labels a pending exception whose type is exactly TypeError with the
// argument name: TypeError "argument '{name}': {text}", taking over the old
// exception's own __cause__. Any other pending exception is left as it is.
void label_argument_error(const char* argument_name);

// On Python 3.11 and later, adds a note (BaseException.add_note) to the
// pending exception of a failed node id conversion that says how to fix the
// common mistakes: a uuid.UUID or a str given as the id, bytes of another
// length. The exception's type and text stay. Older hosts: nothing.
void add_node_id_hint(PyObject* given);

}  // namespace tarnu::py
