#include "test_hooks.hpp"

#ifdef TARNU_TEST_HOOKS

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "graph_diff_object.hpp"
#include "node_update/node_update_store.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py::test_hooks {

namespace {

bool fail_next_dealloc = false;
bool fail_next_encoding = false;
bool fail_next_result = false;
// The item before which the next bulk method fails; -1 when not armed.
long fail_bulk_item = -1;

std::string_view init_hook() {
    const char* value = std::getenv("TARNU_TEST_INIT_HOOK");
    return value == nullptr ? std::string_view() : std::string_view(value);
}

}  // namespace

void on_delete_node(const NodeId& id, const NodeGraphDiff& diff) {
    if (std::memcmp(id.bytes.data(), "tarnu-test-hook", 15) != 0) {
        return;
    }
    switch (id.bytes[15]) {
        case 'T':
            throw std::logic_error("test hook: internal failure");
        case 'M':
            throw std::bad_alloc();
        case 'D':
            fail_next_dealloc = true;
            return;
        case 'R': {
            // The reference count of the class, which no interpreter but
            // CPython shows to Python code.
            throw_error(PyExc_LookupError, std::to_string(Py_REFCNT(graph_diff_type())));
        }
        case 'H': {
            throw_error(PyExc_LookupError,
                        std::to_string(diff.longest_id_probe()) + " " + std::to_string(diff.memory_bytes()));
        }
        case 'I': {
            const std::string flaw = diff.check_invariants();
            throw_error(PyExc_LookupError, flaw.empty() ? std::string_view("consistent") : std::string_view(flaw));
        }
        case 'S':
            fail_next_encoding = true;
            return;
        case 'P':
            fail_next_result = true;
            return;
        case 'B':
            ++fail_bulk_item;
            return;
        case 'C':
            tarnu::test_support::fail_next_text_allocation = true;
            return;
        default:
            return;
    }
}

void on_dealloc() {
    if (fail_next_dealloc) {
        fail_next_dealloc = false;
        throw std::logic_error("test hook: deallocation failure");
    }
}

void on_bulk_item(std::size_t index) {
    if (fail_bulk_item >= 0 && index == static_cast<std::size_t>(fail_bulk_item)) {
        fail_bulk_item = -1;
        throw std::bad_alloc();
    }
}

bool fail_encoding() {
    return std::exchange(fail_next_encoding, false);
}

bool fail_result_creation() {
    if (!std::exchange(fail_next_result, false)) {
        return false;
    }
    PyErr_SetString(PyExc_ValueError, "test hook: result refused");
    return true;
}

bool fail_type_creation() {
    if (init_hook() != "fail-type") {
        return false;
    }
    PyErr_SetString(PyExc_ValueError, "test hook: type creation refused");
    return true;
}

void seed_module_all(void* module_pointer) {
    auto* module = static_cast<PyObject*>(module_pointer);
    const std::string_view hook = init_hook();
    OwnedRef seeded;
    if (hook == "all-list") {
        seeded = require_new(Py_BuildValue("[s]", "seeded"));
    } else if (hook == "all-tuple") {
        seeded = require_new(Py_BuildValue("(s)", "seeded"));
    } else {
        return;
    }
    require(PyObject_SetAttrString(module, "__all__", seeded.get()));
}

}  // namespace tarnu::py::test_hooks

#endif
