#pragma once

#include <string>
#include <string_view>

#include "host_call.hpp"
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

// The module's fatal-error exception class: derived directly from
// BaseException, so `except Exception` does not swallow it; made once per
// process and kept.
PyObject* fatal_error_class();

// Sets the fatal-error exception with `message` as its one argument. Never
// throws: a failure here ends the process, since nothing is left to report it.
void set_fatal_error(std::string_view message) noexcept;

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
