#pragma once

// Failure hooks for the tests, compiled in only with the CMake option
// TARNU_TEST_HOOKS. A released build has none of this: every hook is an empty
// inline function.

#include <cstddef>

#include "diff/node_graph_diff.hpp"

namespace tarnu::py::test_hooks {

#ifdef TARNU_TEST_HOOKS

// delete_node with an id that starts with the 15 bytes "tarnu-test-hook"
// triggers the failure named by its last byte:
//   'T': a C++ exception of the module's own code (std::logic_error)
//   'M': std::bad_alloc
//   'D': the next deallocation of any instance fails internally
//   'R': LookupError whose text is the class's reference count
//   'S': the next to_bytes finds its encoding failed
//   'P': the next count or bytes result cannot be created by the host
//   'H': LookupError whose text is the longest probe in the diff's id table,
//        a space, and the bytes its tables hold (memory_bytes)
//   'I': LookupError whose text is "consistent", or the first broken
//        invariant of the record (GraphDiff::check_invariants)
//   'B': the next bulk method runs out of memory (std::bad_alloc) before one
//        of its items: the first 'B' arms item 0, each further one moves
//        the failure one item later
//   'C': the next allocation of node text storage (growth or compaction of
//        the node store's text buffer) fails with std::bad_alloc
void on_delete_node(const NodeId& id, const NodeGraphDiff& diff);
// Before item i of a bulk method; throws std::bad_alloc where 'B' armed it.
void on_bulk_item(std::size_t index);
void on_dealloc();
// True once after 'S': the encoding is to be treated as failed.
bool fail_encoding();
// True once after 'P': the result is to be treated as not created, with a
// pending error set.
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

inline void on_delete_node(const NodeId&, const NodeGraphDiff&) {}
inline void on_dealloc() {}
inline void on_bulk_item(std::size_t) {}
inline bool fail_encoding() { return false; }
inline bool fail_result_creation() { return false; }
inline bool fail_type_creation() { return false; }
inline void seed_module_all(void*) {}
inline void add_module_functions(void*) {}

#endif

}  // namespace tarnu::py::test_hooks
