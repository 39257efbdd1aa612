#pragma once

// Failure hooks for the tests, compiled in only with the CMake option
// TARNU_TEST_HOOKS. A test reaches them through one private module function,
// _test_hook (below), which exists only in a hook build; no method calls into
// this file to find out whether a test wants something.
//
// A few failures cannot be made from outside: they must happen inside a
// production path, at one chosen moment. Each has one hook point there, a
// flag the entry point arms and the path reads; in a released build each of
// the extension's is an empty inline function (or a constant false) that the
// compiler drops:
// - on_bulk_item: a bulk method or merge out of memory before item i
//   (bulk_methods.cpp, merge_methods.cpp), to prove the prefix guarantee;
// - on_dealloc: a deallocation that fails (graph_diff_object.cpp), which goes
//   to sys.unraisablehook;
// - fail_encoding: an encoding that failed (encode_methods.cpp), which the
//   core's exact sizing never produces;
// - fail_result_creation: a count the host cannot make (method_support.hpp,
//   new_count);
// - fail_type_creation and seed_module_all: import-time outcomes
//   (graph_diff_object.cpp, module.cpp), which run before the module exists
//   and so are asked for by the environment of a fresh interpreter,
//   TARNU_TEST_INIT_HOOK;
// - node text allocation failure: a plain flag in the core,
//   test_support::fail_next_text_allocation (node_update_store.hpp), read on
//   the cold path that grows or compacts the text buffer, since the core has
//   no hook build of its own; only the entry point sets it.

#include <cstddef>

namespace tarnu::py::test_hooks {

#ifdef TARNU_TEST_HOOKS

// Before item i of a bulk method; throws std::bad_alloc where
// "bulk_bad_alloc" armed it.
void on_bulk_item(std::size_t index);
// Throws once after "fail_dealloc".
void on_dealloc();
// True once after "fail_encoding": the encoding is to be treated as failed.
bool fail_encoding();
// True once after "fail_result": the result is to be treated as not created,
// with a pending error set.
bool fail_result_creation();
// True when TARNU_TEST_INIT_HOOK=fail-type asks type creation to fail.
bool fail_type_creation();
// Seeds the new module's __all__ as TARNU_TEST_INIT_HOOK=all-list or
// all-tuple asks, so that both outcomes of an existing __all__ can be seen.
void seed_module_all(void* module);
// Adds the module's one test-only function, _test_hook(action, argument=None),
// through which the tests reach every hook. It runs inside the entry frame
// like every method, so a failure it throws is reported as a method's would
// be. The actions ("diff" is a PyGraphDiff passed as the argument):
//   "throw":          a C++ exception of the module's own code
//                     (std::logic_error "test hook: internal failure"); given
//                     a diff, thrown while its exclusive borrow is held
//   "bad_alloc":      std::bad_alloc, the same way
//   "refcount":       the class's reference count (PyPy has no
//                     sys.getrefcount)
//   "probe":          (longest probe of the diff's id table, bytes its tables
//                     hold); needs a diff
//   "invariants":     "consistent", or the diff's first broken invariant
//                     (GraphDiff::check_invariants); needs a diff
//   "fail_dealloc":   arms on_dealloc
//   "fail_encoding":  arms fail_encoding
//   "fail_result":    arms fail_result_creation
//   "bulk_bad_alloc": arms on_bulk_item: the first call arms item 0, each
//                     further one moves the failure one item later
//   "text_bad_alloc": arms the next allocation of node text storage (growth
//                     or compaction of the node store's text buffer,
//                     test_support::fail_next_text_allocation in the core)
//   "arrow_capsule":  argument (name, address): a capsule named `name`
//                     ("arrow_schema", "arrow_array" or "arrow_array_stream")
//                     around the struct at `address`, which the caller owns
//                     and keeps alive (the capsule has no destructor). The
//                     tests build Arrow structs by hand with ctypes, which on
//                     PyPy cannot make a capsule itself.
//   "arrow_callbacks": the addresses of C callbacks for those structs, a
//                     dict: "release_schema", "release_array" and
//                     "release_stream" add one to the int64 that
//                     private_data points to (releasing children first);
//                     "get_schema", "get_next" and "get_last_error" serve a
//                     stream whose private_data points to a HandStream
//                     (test_hooks.cpp). Python callbacks would do on CPython,
//                     but PyPy deadlocks when C code that holds the
//                     interpreter lock calls a ctypes callback.
void add_module_functions(void* module);

#else

inline void on_dealloc() {}
inline void on_bulk_item(std::size_t) {}
inline bool fail_encoding() { return false; }
inline bool fail_result_creation() { return false; }
inline bool fail_type_creation() { return false; }
inline void seed_module_all(void*) {}
inline void add_module_functions(void*) {}

#endif

}  // namespace tarnu::py::test_hooks
