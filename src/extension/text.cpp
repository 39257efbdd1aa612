#include "text.hpp"

#include <cstdint>

#include "host_call.hpp"
#include "basics/utf8.hpp"
#include "interned.hpp"
#include "py_ref.hpp"

namespace tarnu::py {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

std::string text_of_unicode_or_empty(PyObject* string, bool* ok) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(string, &size);
    if (data != nullptr) {
        *ok = true;
        return std::string(data, static_cast<std::size_t>(size));
    }
    *ok = false;
    return {};
}

// str() of an object, with the surrogate repair; an empty optional (nothing
// pending) when str() raised and `report` is false.
std::optional<std::string> str_text(PyObject* object, bool report) {
    OwnedRef string = OwnedRef::consuming(PyObject_Str(object));
    if (!string) {
        if (report) {
            PyErr_WriteUnraisable(object);
        } else {
            PyErr_Clear();
        }
        return std::nullopt;
    }
    bool ok = false;
    std::string text = text_of_unicode_or_empty(string.get(), &ok);
    if (ok) {
        return text;
    }
    PyErr_Clear();
    OwnedRef encoded = OwnedRef::consuming(PyUnicode_AsEncodedString(string.get(), "utf-8", "surrogatepass"));
    if (!encoded) {
        PyErr_Clear();
        return std::string(replacement_character);
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) {
        PyErr_Clear();
        return std::string(replacement_character);
    }
    return utf8_with_replacement(std::string_view(data, static_cast<std::size_t>(size)));
}

std::optional<std::string> attribute_text(PyObject* object, PyObject* name, bool report) {
    OwnedRef attribute = OwnedRef::consuming(PyObject_GetAttr(object, name));
    if (!attribute) {
        drop_lookup_error();
        return std::nullopt;
    }
    return str_text(attribute.get(), report);
}

// The "module.name" of a type; with `report` false a failing str() makes the
// name unknown instead of falling back, so that naming the type of an
// unprintable object cannot recurse.
std::optional<std::string> type_name(PyTypeObject* type, bool report) {
    PyObject* type_object = reinterpret_cast<PyObject*>(type);
    std::optional<std::string> module = attribute_text(type_object, interned_names.dunder_module, report);
    if (!module) {
        return std::nullopt;
    }
    std::optional<std::string> name = attribute_text(type_object, interned_names.dunder_name, report);
    if (!name) {
        return std::nullopt;
    }
    return *module + "." + *name;
}

}  // namespace

OwnedRef new_str(std::string_view utf8) {
    return require_new(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

std::string utf8_with_replacement(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        bool valid = false;
        const std::size_t length = utf8_sequence(bytes, i, &valid);
        if (valid) {
            out.append(bytes.substr(i, length));
        } else {
            out.append(replacement_character);
        }
        i += length;
    }
    return out;
}

std::string object_text(PyObject* object) {
    if (std::optional<std::string> text = str_text(object, true)) {
        return std::move(*text);
    }
    if (std::optional<std::string> name = type_name(Py_TYPE(object), false)) {
        return "<unprintable " + *name + " object>";
    }
    return "<unprintable object>";
}

std::optional<std::string> full_type_name(PyTypeObject* type) {
    return type_name(type, true);
}

std::string type_qualname(PyTypeObject* type) {
    OwnedRef qualname =
        OwnedRef::consuming(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned_names.dunder_qualname));
    if (!qualname) {
        drop_lookup_error();
    } else if (PyUnicode_Check(qualname.get())) {
        bool ok = false;
        std::string text = text_of_unicode_or_empty(qualname.get(), &ok);
        if (ok) {
            return text;
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace tarnu::py
