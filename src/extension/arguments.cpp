#include "arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

[[noreturn]] void throw_too_many(const char* full_name, std::size_t count, Py_ssize_t given) {
    std::string message = full_name;
    message += " takes " + std::to_string(count) + " positional arguments but " + std::to_string(given);
    message += given == 1 ? " was given" : " were given";
    throw_error(PyExc_TypeError, message);
}

[[noreturn]] void throw_unexpected_keyword(const char* full_name, PyObject* keyword) {
    std::string message = full_name;
    message += " got an unexpected keyword argument '" + object_text(keyword) + "'";
    throw_error(PyExc_TypeError, message);
}

// Which parameter a keyword names, or -1. A name without a UTF-8 form names
// none.
std::ptrdiff_t find_parameter(const char* const* names, std::size_t count, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < count; ++i) {
        if (name == names[i]) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

}  // namespace

void parse_arguments_slow(const char* full_name, const char* const* names, std::size_t count, PyObject* const* args,
                          Py_ssize_t positional, PyObject* keyword_names, PyObject** slots, std::size_t required) {
    required = std::min(required, count);
    if (positional > static_cast<Py_ssize_t>(count)) {
        throw_too_many(full_name, count, positional);
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t keywords = keyword_names == nullptr ? 0 : PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        const std::ptrdiff_t index = find_parameter(names, count, keyword);
        if (index < 0) {
            throw_unexpected_keyword(full_name, keyword);
        }
        if (slots[index] != nullptr) {
            std::string message = full_name;
            message += " got multiple values for argument '";
            message += names[index];
            message += "'";
            throw_error(PyExc_TypeError, message);
        }
        slots[index] = args[positional + k];
    }
    if (positional >= static_cast<Py_ssize_t>(count)) {
        return;
    }
    std::size_t missing = 0;
    for (std::size_t i = static_cast<std::size_t>(positional); i < required; ++i) {
        missing += slots[i] == nullptr ? 1 : 0;
    }
    if (missing == 0) {
        return;
    }
    std::string message = full_name;
    message += " missing " + std::to_string(missing) + " required positional ";
    message += missing == 1 ? "argument: " : "arguments: ";
    std::size_t listed = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (listed > 0) {
            if (missing == 2) {
                message += " and ";
            } else {
                message += listed + 1 == missing ? ", and " : ", ";
            }
        }
        message += "'";
        message += names[i];
        message += "'";
        ++listed;
    }
    throw_error(PyExc_TypeError, message);
}

void reject_constructor_arguments(const char* full_name, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (positional > 0) {
        throw_too_many(full_name, 0, positional);
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(kwargs, &position, &key, &value);
        throw_unexpected_keyword(full_name, key);
    }
}

}  // namespace tarnu::py
