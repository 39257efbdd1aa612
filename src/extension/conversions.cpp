#include "conversions.hpp"

#include <climits>
#include <string>
#include <type_traits>

#include "errors.hpp"
#include "host_compat.hpp"
#include "interned.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

[[noreturn]] void throw_wrong_length() {
    throw_error(PyExc_Exception, "Expected 16 bytes.");
}

// Runs convert(object). When it fails, `relabel` rewrites the pending
// exception (wraps it, labels it with an argument's name) before it is
// passed on. One catch for all the rewrites of a call: each unwind through a
// catch costs thousands of instructions on the error path.
template <class Convert, class Relabel>
auto relabel_errors(Convert convert, PyObject* object, Relabel relabel) -> decltype(convert(object)) {
    try {
        return convert(object);
    } catch (const PendingError&) {
        relabel();
        throw;
    }
}

void wrap_node_id_error() {
    wrap_struct_field_error("PyUuid", 0);
}

// numpy's boolean scalar type is named "numpy.bool_" before numpy 2 and
// "numpy.bool" since; both are accepted through their __bool__.
bool is_numpy_bool_name(const std::string& name) {
    return name == "numpy.bool_" || name == "numpy.bool";
}

// Binds `attribute` (found on the value's type) to the value, the way
// attribute lookup on an instance would: the descriptor slot of a heap type,
// otherwise the __get__ of the attribute's type, otherwise the attribute as is.
OwnedRef bind_to_value(PyObject* attribute, PyObject* value) {
    PyTypeObject* attribute_type = Py_TYPE(attribute);
    PyObject* value_type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    if (PyType_GetFlags(attribute_type) & Py_TPFLAGS_HEAPTYPE) {
        auto descr_get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(attribute_type, Py_tp_descr_get));
        if (descr_get != nullptr) {
            return require_new(descr_get(attribute, value, value_type));
        }
    }
    OwnedRef get = OwnedRef::consuming(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(attribute_type), interned_names.dunder_get));
    if (!get) {
        drop_lookup_error();
        return OwnedRef::owning(attribute);
    }
    return require_new(PyObject_CallFunctionObjArgs(get.get(), attribute, value, value_type, nullptr));
}

bool numpy_bool_value(PyObject* value) {
    OwnedRef attribute =
        OwnedRef::consuming(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), interned_names.dunder_bool));
    if (!attribute) {
        drop_lookup_error();
        std::string message = "object of type '";
        message += object_text(reinterpret_cast<PyObject*>(Py_TYPE(value)));
        message += "' does not define a '__bool__' conversion";
        throw_error(PyExc_TypeError, message);
    }
    OwnedRef bound = bind_to_value(attribute.get(), value);
    OwnedRef no_arguments = OwnedRef::consuming(require_or_report(PyTuple_New(0)));
    OwnedRef result = require_new(PyObject_Call(bound.get(), no_arguments.get(), nullptr));
    if (Py_TYPE(result.get()) != &PyBool_Type) {
        throw_downcast_error(result.get(), "PyBool");
    }
    return result.get() == Py_True;
}

// Reads one key of the update dict and converts its value. The value is held
// while its conversion runs Python code that may change the dict.
template <class Convert>
auto read_key(PyObject* dict, PyObject* key, Convert convert) -> std::optional<decltype(convert(dict))> {
    const OwnedRef held = dict_value(dict, key);
    if (!held) return std::nullopt;
    return convert(held.get());
}

}  // namespace

NodeId node_id_from_bytes(PyObject* object) {
    if (!type_has_flag(object, Py_TPFLAGS_BYTES_SUBCLASS)) [[unlikely]] {
        throw_downcast_error(object, "PyBytes");
    }
    if (Py_TYPE(object) != &PyBytes_Type) {
        const OwnedRef exact = exact_builtin_copy(object, &PyBytes_Type);
        if (PyBytes_GET_SIZE(exact.get()) != 16) throw_wrong_length();
        return NodeId::from_bytes(PyBytes_AS_STRING(exact.get()));
    }
    if (PyBytes_GET_SIZE(object) != 16) [[unlikely]] {
        throw_wrong_length();
    }
    return NodeId::from_bytes(PyBytes_AS_STRING(object));
}

NodeId extract_node_id_argument_slow(PyObject* object, const char* argument_name) {
    return relabel_errors(node_id_from_bytes, object, [&] {
        wrap_node_id_error();
        label_argument_error(argument_name);
        add_node_id_hint(object);
    });
}

std::string_view text_view(PyObject* object, OwnedRef& owner) {
    if (!PyUnicode_Check(object)) {
        throw_downcast_error(object, "PyString");
    }
    owner = exact_builtin_copy(object, &PyUnicode_Type);
    Py_ssize_t size = 0;
    const char* data = require(PyUnicode_AsUTF8AndSize(owner.get(), &size));
    return std::string_view(data, static_cast<std::size_t>(size));
}

namespace {

// Reads a text key: the view is kept valid by holding the str in `owner`,
// since converting the keys after it may run Python code that drops the
// dict's own reference.
std::optional<std::string_view> read_text_key(PyObject* dict, PyObject* key, OwnedRef& owner) {
    const OwnedRef value = dict_value(dict, key);
    if (!value) return std::nullopt;
    return text_view(value.get(), owner);
}

}  // namespace

std::string extract_text(PyObject* object) {
    OwnedRef owner;
    return std::string(text_view(object, owner));
}

float extract_f32(PyObject* object) {
    double value;
    if (Py_TYPE(object) == &PyFloat_Type) [[likely]] {
        value = PyFloat_AS_DOUBLE(object);
    } else {
        value = require_number(PyFloat_AsDouble(exact_float_value(object).get()));
    }
    // Round to the nearest binary32; out-of-range values become infinities.
    return static_cast<float>(value);
}

std::uint8_t extract_u8(PyObject* object) {
    long value;
    if (type_has_flag(object, Py_TPFLAGS_LONG_SUBCLASS)) {
        value = require_number(PyLong_AsLong(object));
    } else {
        OwnedRef index = require_new(PyNumber_Index(object));
        value = require_number(PyLong_AsLong(index.get()));
    }
    if (static_cast<unsigned long>(value) > 255) {
        throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint8_t>(value);
}

bool extract_bool(PyObject* object) {
    if (Py_TYPE(object) == &PyBool_Type) {
        return object == Py_True;
    }
    std::optional<std::string> name = full_type_name(Py_TYPE(object));
    if (name && is_numpy_bool_name(*name)) {
        return numpy_bool_value(object);
    }
    throw_downcast_error(object, "PyBool");
}

NodeUpdateArgument node_update_from_dict(PyObject* object) {
    if (!type_has_flag(object, Py_TPFLAGS_DICT_SUBCLASS)) {
        throw_downcast_error(object, "PyDict");
    }
    NodeUpdateArgument argument;
    NodeUpdateView& update = argument.view_;
    for_each_node_property_in_read_order([&](auto property) {
        using P = decltype(property);
        PyObject* const key = P::of(interned_names);
        if constexpr (std::is_same_v<typename P::Kind, node_property::Text>) {
            P::of(update) = read_text_key(object, key, argument.text_owners_[P::slot]);
        } else {
            const auto convert = [](PyObject* value) { return extract_property_value(typename P::Kind{}, value); };
            P::of(update) = read_key(object, key, convert);
        }
    });
    return argument;
}

float extract_f32_argument(PyObject* object, const char* argument_name) {
    return relabel_errors(extract_f32, object, [&] { label_argument_error(argument_name); });
}

NodeUpdateArgument extract_node_update_argument(PyObject* object, const char* argument_name) {
    return relabel_errors(node_update_from_dict, object, [&] { label_argument_error(argument_name); });
}

}  // namespace tarnu::py
