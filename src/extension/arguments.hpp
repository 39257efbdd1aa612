#pragma once

#include <array>
#include <cstddef>

#include "python.hpp"

namespace tarnu::py {

// How a method takes its arguments: every parameter is positional-or-keyword
// and required, with no defaults.
template <std::size_t Count>
struct ArgumentDescription {
    const char* full_name;  // "PyGraphDiff.add_edge()", used in messages
    std::array<const char*, Count> names;
};

// Slow path of argument parsing: keywords, too many or too few arguments.
// Fills `slots` with borrowed references or throws PendingError with the
// TypeError of the first problem found.
void parse_arguments_slow(const char* full_name, const char* const* names, std::size_t count, PyObject* const* args,
                          Py_ssize_t positional, PyObject* keyword_names, PyObject** slots);

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
                         slots.data());
    return slots;
}

// The constructor's parsing: no parameters at all, arguments as a tuple and a
// dict. The positional count is judged first.
void reject_constructor_arguments(const char* full_name, PyObject* args, PyObject* kwargs);

}  // namespace tarnu::py
