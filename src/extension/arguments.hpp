#pragma once

#include <array>
#include <cstddef>

#include "python.hpp"

namespace tarnu::py {

// How a method takes its arguments: every parameter is positional-or-keyword;
// the first `required` are required, and a missing optional one is left
// null for the wrapper to default.
template <std::size_t Count>
struct ArgumentDescription {
    const char* full_name;  // "PyGraphDiff.add_edge()", used in messages
    std::array<const char*, Count> names;
    std::size_t required = Count;
};

// Slow path of argument parsing: keywords, too many or too few arguments.
// Fills `slots` with borrowed references or throws PendingError with the
// TypeError of the first problem found.
void parse_arguments_slow(const char* full_name, const char* const* names, std::size_t count, PyObject* const* args,
                          Py_ssize_t positional, PyObject* keyword_names, PyObject** slots,
                          std::size_t required = static_cast<std::size_t>(-1));

// Sorts the arguments of a vectorcall into one slot per parameter. The
// common call, all arguments by position, costs a copy.
template <std::size_t Count>
inline std::array<PyObject*, Count> parse_arguments(const ArgumentDescription<Count>& description,
                                                    PyObject* const* args, Py_ssize_t nargsf,
                                                    PyObject* keyword_names) {
    std::array<PyObject*, Count> slots{};
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (keyword_names == nullptr && positional == static_cast<Py_ssize_t>(Count)) [[likely]] {
        for (std::size_t i = 0; i < Count; ++i) {
            slots[i] = args[i];
        }
        return slots;
    }
    parse_arguments_slow(description.full_name, description.names.data(), Count, args, positional, keyword_names,
                         slots.data(), description.required);
    return slots;
}

// The constructor's parsing: no parameters at all, arguments as a tuple and a
// dict. The positional count is judged first.
void reject_constructor_arguments(const char* full_name, PyObject* args, PyObject* kwargs);

}  // namespace tarnu::py
