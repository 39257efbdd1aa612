#include "merge_methods.hpp"

#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.hpp"
#include "bulk_arguments.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "method_support.hpp"
#include "test_hooks.hpp"
#include "text.hpp"

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

PyStructSequence_Field counts_fields[] = {
    {"node_updates", "nodes added or updated"},
    {"deleted_nodes", "nodes to delete"},
    {"edge_updates", "(source, target) pairs added or re-weighted"},
    {"deleted_edges", "(source, target) pairs to delete"},
    {nullptr, nullptr},
};

PyStructSequence_Desc counts_description = {
    "tarnu_api.DiffCounts",
    "DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges)\n\n"
    "The sizes of the four sections of a diff's encoding; edges count as (source, target) pairs.",
    counts_fields,
    4,
};

// Made on first use and kept for the life of the interpreter, like the class.
PyTypeObject* counts_type_object = nullptr;

PyTypeObject* counts_type() {
    if (counts_type_object == nullptr) [[unlikely]] {
        counts_type_object = require(PyStructSequence_NewType(&counts_description));
    }
    return counts_type_object;
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
            throw_batch_out_of_memory(merge_arguments.full_name, done, count);
        }
        return none();
    });
}

namespace {

using Sizes = NodeGraphDiff::Counts;

bool same_sizes(const Sizes& a, const Sizes& b) {
    return a.node_updates == b.node_updates && a.deleted_nodes == b.deleted_nodes &&
           a.edge_updates == b.edge_updates && a.deleted_edges == b.deleted_edges;
}

// The last result of counts() and of repr(), kept with the sizes they show.
// Both are immutable, so a later call on any diff of the same sizes hands
// out the same object: a diff asked again and again while nothing changes
// (a progress display, a logger) costs a comparison, not a new tuple or str.
// The two objects live until the process ends, like the interned names.
struct LastResult {
    Sizes sizes{};
    PyObject* object = nullptr;  // owned

    PyObject* find(const Sizes& now) const {
        return object != nullptr && same_sizes(sizes, now) ? OwnedRef::owning(object).release() : nullptr;
    }
    PyObject* keep(const Sizes& now, OwnedRef made) {
        OwnedRef dropped = OwnedRef::consuming(object);
        sizes = now;
        object = OwnedRef::owning(made.get()).release();
        return made.release();
    }
};

LastResult last_counts;
LastResult last_repr;

}  // namespace

void forget_summary_objects() noexcept {
    counts_type_object = nullptr;
    last_counts = LastResult{};
    last_repr = LastResult{};
}

namespace {

// "N thing" or "N things", appended to out.
void append_count(std::string& out, std::size_t n, std::string_view thing) {
    out += std::to_string(n);
    out += ' ';
    out += thing;
    if (n != 1) out += 's';
}

}  // namespace

PyObject* counts(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const Sizes sizes = object->diff.counts();
        if (PyObject* same = last_counts.find(sizes)) return same;
        OwnedRef result = require_new(PyStructSequence_New(counts_type()));
        const std::size_t values[] = {sizes.node_updates, sizes.deleted_nodes, sizes.edge_updates, sizes.deleted_edges};
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyStructSequence_SET_ITEM(result.get(), i, new_count(values[i]));
        }
        return last_counts.keep(sizes, std::move(result));
    });
}

PyObject* repr_diff(PyObject* self) {
    return entry_frame([&] {
        const Sizes sizes = checked_self(self)->diff.counts();
        if (PyObject* same = last_repr.find(sizes)) return same;
        std::string text = "<PyGraphDiff: ";
        append_count(text, sizes.node_updates, "node update");
        text += ", ";
        append_count(text, sizes.deleted_nodes, "deleted node");
        text += ", ";
        append_count(text, sizes.edge_updates, "edge");
        text += ", ";
        append_count(text, sizes.deleted_edges, "deleted edge");
        text += '>';
        return last_repr.keep(sizes, new_str(text));
    });
}

}  // namespace tarnu::py
