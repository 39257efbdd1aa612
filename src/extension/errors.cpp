#include "errors.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "host_compat.hpp"
#include "module_state.hpp"
#include "text.hpp"

namespace tarnu::py {

FetchedError fetch_normalized() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {OwnedRef::consuming(type), OwnedRef::consuming(value), OwnedRef::consuming(traceback)};
}

void restore(FetchedError error) {
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
}

namespace {

// Sets `type(message)` as the pending exception.
void set_error(PyObject* type, std::string_view message) {
    OwnedRef text = new_str(message);
    PyErr_SetObject(type, text.get());
}

// Sets `type(message)` and hands back the exception object, normalised, with
// nothing left pending.
OwnedRef make_exception(PyObject* type, std::string_view message) {
    set_error(type, message);
    return fetch_normalized().value;
}

}  // namespace

PyObject* fatal_error_class() {
    if (module_state.internal_error_class == nullptr) [[unlikely]] {
        module_state.internal_error_class = PyErr_NewExceptionWithDoc(
            "tarnu_api.InternalError",
            "An internal failure of tarnu_api's own code (a broken invariant), never caused by the "
            "caller's input. It derives from BaseException so that `except Exception` does not hide it.",
            PyExc_BaseException, nullptr);
        if (module_state.internal_error_class == nullptr) {
            Py_FatalError("Failed to initialize new exception type.");
        }
    }
    return module_state.internal_error_class;
}

void set_fatal_error(std::string_view message) noexcept {
    try {
        PyObject* type = fatal_error_class();
        OwnedRef text = OwnedRef::consuming(
            PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (!text) {
            Py_FatalError("uncaught panic at ffi boundary");
        }
        PyErr_SetObject(type, text.get());
    } catch (...) {
        Py_FatalError("uncaught panic at ffi boundary");
    }
}

namespace {

// A host call that failed without setting an exception: SystemError stands in
// for the one it should have set. Returns whether one was missing.
bool set_missing_exception() {
    if (PyErr_Occurred() != nullptr) [[likely]] {
        return false;
    }
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return true;
}

}  // namespace

[[noreturn]] void throw_pending_error() {
    if (set_missing_exception()) [[unlikely]] {
        throw PendingError{};
    }
    if (is_wrapped_memory_error()) [[unlikely]] {
        PyErr_Clear();
        PyErr_NoMemory();
        throw PendingError{};
    }
    if (module_state.internal_error_class != nullptr && PyErr_ExceptionMatches(module_state.internal_error_class)) {
        // Our own fatal error came back through Python code (say, a __float__
        // that let it through). It is not an ordinary error of the caller: show
        // it whole, then fail this call as an internal failure of its own.
        FetchedError error = fetch_normalized();
        if (Py_TYPE(error.value.get()) == reinterpret_cast<PyTypeObject*>(module_state.internal_error_class)) {
            std::string text = object_text(error.value.get());
            std::fputs("--- tarnu_api: an internal error came back from Python code ---\n", stderr);
            std::fflush(stderr);
            restore(std::move(error));
            PyErr_PrintEx(0);
            throw InternalFailure{std::move(text)};
        }
        restore(std::move(error));
    }
    throw PendingError{};
}

void drop_lookup_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw_pending_error();
    }
    PyErr_Clear();
}

[[noreturn]] void throw_error(PyObject* type, std::string_view message) {
    set_error(type, message);
    throw PendingError{};
}

[[noreturn]] void throw_downcast_error(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_qualname(Py_TYPE(object));
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    throw_error(PyExc_TypeError, message);
}

[[noreturn]] void report_host_failure() {
    // Running out of memory is the caller's MemoryError, not a broken module.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        throw PendingError{};
    }
    if (is_wrapped_memory_error()) {
        PyErr_Clear();
        PyErr_NoMemory();
        throw PendingError{};
    }
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    throw InternalFailure{"Python API call failed"};
}

namespace {

void raise_with_cause(PyObject* type, std::string_view message) {
    set_missing_exception();
    FetchedError cause = fetch_normalized();
    if (cause.traceback) {
        PyException_SetTraceback(cause.value.get(), cause.traceback.get());
    }
    OwnedRef raised = make_exception(type, message);
    PyException_SetCause(raised.get(), cause.value.release());
    PyErr_SetObject(type, raised.get());
}

}  // namespace

[[noreturn]] void throw_with_cause(PyObject* type, std::string_view message) {
    raise_with_cause(type, message);
    throw PendingError{};
}

void wrap_struct_field_error(const char* struct_name, int field_index) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
        return;  // KeyboardInterrupt, SystemExit: not a conversion error
    }
    std::string message = "failed to extract field ";
    message += struct_name;
    message += '.';
    message += std::to_string(field_index);
    raise_with_cause(PyExc_TypeError, message);
}

void label_argument_error(const char* argument_name) {
    FetchedError error = fetch_normalized();
    if (reinterpret_cast<PyObject*>(Py_TYPE(error.value.get())) != PyExc_TypeError) {
        restore(std::move(error));
        return;
    }
    std::string message = "argument '";
    message += argument_name;
    message += "': ";
    message += object_text(error.value.get());
    OwnedRef labelled = make_exception(PyExc_TypeError, message);
    // PyException_SetCause takes over the reference; a null cause leaves none.
    PyException_SetCause(labelled.get(), PyException_GetCause(error.value.get()));
    PyErr_SetObject(PyExc_TypeError, labelled.get());
}

#if PY_VERSION_HEX >= 0x030B0000
namespace {

// The note for an id of the wrong kind, or none: the two mistakes seen most
// (a uuid.UUID or its text where its bytes belong, and bytes of another
// length).
std::string node_id_hint(PyObject* given) {
    if (PyUnicode_Check(given)) return "node ids are 16-byte bytes: pass uuid.UUID(...).bytes";
    if (PyBytes_Check(given)) return "got " + std::to_string(PyBytes_GET_SIZE(given)) + " bytes";
    // uuid.UUID, told by its name and its class dict's __module__: no
    // attribute lookup, which could run the caller's Python code while the
    // diff is borrowed.
    PyTypeObject* type = Py_TYPE(given);
    if (std::string_view(type->tp_name) != "UUID" || type->tp_dict == nullptr) return {};
    OwnedRef module;
    try {
        module = dict_value(type->tp_dict, interned_names.dunder_module);
    } catch (const PendingError&) {
        PyErr_Clear();  // a class dict whose keys cannot be compared gets no note
        return {};
    }
    if (module && PyUnicode_CheckExact(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "uuid") == 0)
        return "node ids are 16-byte bytes: pass uuid.UUID(...).bytes";
    return {};
}

}  // namespace
#endif

void add_node_id_hint(PyObject* given) {
#if PY_VERSION_HEX >= 0x030B0000
    // Only an Exception: KeyboardInterrupt and the like pass as they are.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    FetchedError error = fetch_normalized();
    const std::string hint = node_id_hint(given);
    if (!hint.empty()) {
        OwnedRef note = OwnedRef::consuming(PyUnicode_FromStringAndSize(hint.data(), static_cast<Py_ssize_t>(hint.size())));
        // The length goes with the "Expected 16 bytes." it explains, which the
        // TypeError carries as its cause.
        OwnedRef cause = PyBytes_Check(given) ? OwnedRef::consuming(PyException_GetCause(error.value.get())) : OwnedRef();
        PyObject* target = cause ? cause.get() : error.value.get();
        OwnedRef done = note ? OwnedRef::consuming(PyObject_CallMethod(target, "add_note", "O", note.get())) : OwnedRef();
        PyErr_Clear();  // a note that cannot be added is left out: the error itself stays
    }
    restore(std::move(error));
#else
    (void)given;
#endif
}

}  // namespace tarnu::py
