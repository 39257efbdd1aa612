#include "test_hooks.hpp"

#ifdef TARNU_TEST_HOOKS

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "arrow/arrow_abi.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "graph_diff_object.hpp"
#include "method_support.hpp"
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

namespace {

// The C callbacks of hand-made Arrow structs.
void hand_release_schema(ArrowSchema* schema) {
    // A test may have spoilt the child count: a missing child is skipped.
    for (std::int64_t c = 0; schema->children != nullptr && c < schema->n_children; ++c) {
        ArrowSchema* child = schema->children[c];
        if (child != nullptr && child->release != nullptr) child->release(child);
    }
    ++*static_cast<std::int64_t*>(schema->private_data);
    schema->release = nullptr;
}

void hand_release_array(ArrowArray* array) {
    for (std::int64_t c = 0; array->children != nullptr && c < array->n_children; ++c) {
        ArrowArray* child = array->children[c];
        if (child != nullptr && child->release != nullptr) child->release(child);
    }
    ++*static_cast<std::int64_t*>(array->private_data);
    array->release = nullptr;
}

// What a hand-made stream serves: a schema and chunks, each handed out once
// (moved), the rest released with the stream. get_next fails at chunk
// fail_at (-1: never) with `error`.
struct HandStream {
    ArrowSchema* schema;
    ArrowArray* chunks;
    std::int64_t count;
    std::int64_t next;
    std::int64_t fail_at;
    const char* error;
    std::int64_t releases;
};

int hand_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* hand = static_cast<HandStream*>(stream->private_data);
    *out = *hand->schema;
    hand->schema->release = nullptr;
    return 0;
}

int hand_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* hand = static_cast<HandStream*>(stream->private_data);
    if (hand->next == hand->fail_at) return 5;
    if (hand->next == hand->count) {
        out->release = nullptr;
        return 0;
    }
    *out = hand->chunks[hand->next];
    hand->chunks[hand->next++].release = nullptr;
    return 0;
}

const char* hand_get_last_error(ArrowArrayStream* stream) { return static_cast<HandStream*>(stream->private_data)->error; }

void hand_release_stream(ArrowArrayStream* stream) {
    auto* hand = static_cast<HandStream*>(stream->private_data);
    if (hand->schema->release != nullptr) hand->schema->release(hand->schema);
    for (std::int64_t i = 0; i < hand->count; ++i) {
        if (hand->chunks[i].release != nullptr) hand->chunks[i].release(&hand->chunks[i]);
    }
    ++hand->releases;
    stream->release = nullptr;
}

// The actions of _test_hook. Each gets the argument passed after the action's
// name, or nullptr for none (or None).
using Action = PyObject* (*)(PyObject* argument);

PyGraphDiffObject* diff_argument(PyObject* argument) {
    if (argument == nullptr) {
        throw_error(PyExc_TypeError, "this test hook needs a PyGraphDiff");
    }
    return checked_self(argument);
}

// A failure of the module's own code. Given a diff, it fails while holding
// the diff's exclusive borrow, as a change would, so that a test sees the
// borrow given back.
PyObject* throw_internal_failure(PyObject* argument) {
    std::optional<ExclusiveBorrow> borrow;
    if (argument != nullptr) borrow.emplace(diff_argument(argument));
    throw std::logic_error("test hook: internal failure");
}

PyObject* throw_bad_alloc(PyObject* argument) {
    std::optional<ExclusiveBorrow> borrow;
    if (argument != nullptr) borrow.emplace(diff_argument(argument));
    throw std::bad_alloc();
}

// The reference count of the class, which no interpreter but CPython shows
// to Python code.
PyObject* class_refcount(PyObject*) {
    return require_new(PyLong_FromSsize_t(Py_REFCNT(graph_diff_type()))).release();
}

PyObject* table_stats(PyObject* argument) {
    PyGraphDiffObject* object = diff_argument(argument);
    SharedBorrow borrow(object);
    return require_new(Py_BuildValue("(KK)", static_cast<unsigned long long>(object->diff.longest_id_probe()),
                                     static_cast<unsigned long long>(object->diff.memory_bytes())))
        .release();
}

PyObject* invariants(PyObject* argument) {
    PyGraphDiffObject* object = diff_argument(argument);
    SharedBorrow borrow(object);
    const std::string flaw = object->diff.check_invariants();
    const std::string_view text = flaw.empty() ? std::string_view("consistent") : std::string_view(flaw);
    return require_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
}

PyObject* arm_dealloc(PyObject*) {
    fail_next_dealloc = true;
    return none();
}

PyObject* arm_encoding(PyObject*) {
    fail_next_encoding = true;
    return none();
}

PyObject* arm_result(PyObject*) {
    fail_next_result = true;
    return none();
}

PyObject* arm_bulk_item(PyObject*) {
    ++fail_bulk_item;
    return none();
}

PyObject* arm_text_allocation(PyObject*) {
    tarnu::test_support::fail_next_text_allocation = true;
    return none();
}

// A capsule around the struct at an address the caller owns and keeps alive
// (the capsule has no destructor); the argument is (capsule name, address).
PyObject* arrow_capsule(PyObject* argument) {
    if (argument == nullptr || !PyTuple_Check(argument)) {
        throw_error(PyExc_TypeError, "arrow_capsule needs a (name, address) tuple");
    }
    const char* name = nullptr;
    unsigned long long address = 0;
    require_parsed(PyArg_ParseTuple(argument, "sK:_test_hook", &name, &address));
    // PyCapsule_New keeps the name pointer: the three names are static.
    static const char* const kNames[] = {"arrow_schema", "arrow_array", "arrow_array_stream"};
    for (const char* known : kNames) {
        if (std::strcmp(known, name) == 0) {
            // The test hands over the address of a struct it made with ctypes.
            void* const pointer = reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));  // NOLINT(performance-no-int-to-ptr)
            return require_new(PyCapsule_New(pointer, known, nullptr)).release();
        }
    }
    throw_error(PyExc_ValueError, "unknown capsule name");
}

PyObject* arrow_callbacks(PyObject*) {
    const auto address = [](auto function) {
        return reinterpret_cast<unsigned long long>(reinterpret_cast<void*>(function));
    };
    return require_new(Py_BuildValue("{sKsKsKsKsKsK}", "release_schema", address(hand_release_schema),
                                     "release_array", address(hand_release_array), "release_stream",
                                     address(hand_release_stream), "get_schema", address(hand_get_schema),
                                     "get_next", address(hand_get_next), "get_last_error",
                                     address(hand_get_last_error)))
        .release();
}

constexpr std::pair<std::string_view, Action> actions[] = {
    {"throw", throw_internal_failure},
    {"bad_alloc", throw_bad_alloc},
    {"refcount", class_refcount},
    {"probe", table_stats},
    {"invariants", invariants},
    {"fail_dealloc", arm_dealloc},
    {"fail_encoding", arm_encoding},
    {"fail_result", arm_result},
    {"bulk_bad_alloc", arm_bulk_item},
    {"text_bad_alloc", arm_text_allocation},
    {"arrow_capsule", arrow_capsule},
    {"arrow_callbacks", arrow_callbacks},
};

PyObject* test_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_frame([&]() -> PyObject* {
        if (nargs < 1 || nargs > 2) {
            throw_error(PyExc_TypeError, "_test_hook(action, argument=None) takes 1 or 2 arguments");
        }
        Py_ssize_t length = 0;
        const char* name = require(PyUnicode_AsUTF8AndSize(args[0], &length));
        const std::string_view action(name, static_cast<std::size_t>(length));
        PyObject* argument = nargs == 2 && args[1] != Py_None ? args[1] : nullptr;
        for (const auto& [known, run] : actions) {
            if (known == action) return run(argument);
        }
        throw_error(PyExc_ValueError, "unknown test hook: " + std::string(action));
    });
}

PyMethodDef test_functions[] = {
    {"_test_hook", as_cfunction(test_hook), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_module_functions(void* module) {
    require(PyModule_AddFunctions(static_cast<PyObject*>(module), test_functions));
}

}  // namespace tarnu::py::test_hooks

#endif
