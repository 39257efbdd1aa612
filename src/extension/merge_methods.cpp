#include "merge_methods.hpp"

#include <new>

#include "arguments.hpp"
#include "bulk_arguments.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "method_support.hpp"
#include "test_hooks.hpp"

namespace tarnu::py {

namespace {

constexpr ArgumentDescription<1> merge_arguments{"PyGraphDiff.merge()", {"other"}};

PyGraphDiffObject* checked_other(PyObject* other) {
    try {
        return checked_self(other);
    } catch (const PendingError&) {
        label_argument_error("other");
        throw;
    }
}

}  // namespace

PyObject* merge(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [other_argument] = parse_arguments(merge_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        PyGraphDiffObject* other = checked_other(other_argument);
        if (other == object) return none();  // its own content, recorded again, would change nothing
        SharedBorrow reading(other);
        const auto sizes = other->diff.counts();
        const std::size_t count = sizes.node_updates + sizes.deleted_nodes + sizes.edge_updates + sizes.deleted_edges;
        std::size_t done = 0;
        try {
            object->diff.merge(other->diff, done, [](std::size_t i) { test_hooks::on_bulk_item(i); });
        } catch (const std::bad_alloc&) {
            report_memory_growth(object);
            throw_batch_out_of_memory(merge_arguments.full_name, done, count);
        }
        // One call may grow the record by all of other's size: PyPy's
        // collector is told now, as after a bulk call.
        report_memory_growth(object);
        return none();
    });
}

}  // namespace tarnu::py
