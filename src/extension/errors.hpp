#pragma once

#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// Thrown after a Python exception has been set in the interpreter; the entry
// frame lets it through as a NULL return.
struct PendingError {};

// A failure of the module's own code, not of the caller's input. The entry
// frame turns it into the module's fatal-error exception with this text.
struct InternalFailure {
    std::string message;
};

// Turns a failed host call into a C++ unwind. Defined in errors.cpp: it also
// makes sure an exception really is pending and catches the fatal-error class
// coming back from Python code.
[[noreturn]] void throw_pending_error();

inline PyObject* require(PyObject* result) {
    if (result == nullptr) [[unlikely]] {
        throw_pending_error();
    }
    return result;
}

inline OwnedRef require_new(PyObject* new_reference) {
    return OwnedRef::consuming(require(new_reference));
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

// Sets TypeError "'{qualname}' object cannot be converted to '{target}'".
void set_downcast_error(PyObject* object, const char* target);
[[noreturn]] void throw_downcast_error(PyObject* object, const char* target);

// Sets an exception of `type` whose one argument is `message`, and unwinds.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

// A host call that must not fail did: print the pending error and fail as an
// internal failure "Python API call failed". MemoryError is passed on instead.
[[noreturn]] void report_host_failure();

// The pending exception, taken out of the interpreter and normalised.
struct FetchedError {
    OwnedRef type;
    OwnedRef value;
    OwnedRef traceback;
};
FetchedError fetch_normalized();
void restore(FetchedError error);

// Replaces the pending exception by `type(message)` whose __cause__ is the
// exception it replaces.
void raise_with_cause(PyObject* type, std::string_view message);

// Rewrites the pending exception as TypeError "failed to extract field
// {name}.{index}" whose __cause__ is the pending exception. An exception that
// is not an Exception subclass (KeyboardInterrupt, SystemExit) stays as it is.
void wrap_struct_field_error(const char* struct_name, int field_index);

// Labels a pending exception whose type is exactly TypeError with the
// argument name: TypeError "argument '{name}': {text}", taking over the old
// exception's own __cause__. Any other pending exception is left as it is.
void label_argument_error(const char* argument_name);

}  // namespace tarnu::py
