#include "bulk_methods.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "bulk_ids.hpp"
#include "bulk_updates.hpp"
#include "bulk_weights.hpp"
#include "entry_frame.hpp"
#include "method_support.hpp"
#include "test_hooks.hpp"

namespace tarnu::py {

namespace {

constexpr ArgumentDescription<3> add_edges_arguments{"PyGraphDiff.add_edges()", {"sources", "targets", "weights"}};
constexpr ArgumentDescription<2> delete_edges_arguments{"PyGraphDiff.delete_edges()", {"sources", "targets"}};
constexpr ArgumentDescription<1> delete_nodes_arguments{"PyGraphDiff.delete_nodes()", {"ids"}};
constexpr ArgumentDescription<2> add_nodes_arguments{"PyGraphDiff.add_nodes()", {"ids", "updates"}};

using Lengths = std::vector<std::pair<std::string, std::size_t>>;

// Runs a batch on the record after its arguments have converted. Out of
// memory, the record holds the effect of the items before `done`, and the
// MemoryError says how many.
template <class Apply>
PyObject* apply_batch(PyGraphDiffObject* object, const char* method, std::size_t count, Apply&& apply) {
    std::size_t done = 0;
    try {
        apply(done, [](std::size_t i) { test_hooks::on_bulk_item(i); });
    } catch (const std::bad_alloc&) {
        report_memory_growth(object);
        throw_batch_out_of_memory(method, done, count);
    }
    report_memory_growth(object);
    return none();
}

}  // namespace

PyObject* add_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [sources_argument, targets_argument, weights_argument] =
            parse_arguments(add_edges_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        IdColumn sources, targets;
        WeightColumn weights;
        sources.open(sources_argument, "sources");
        targets.open(targets_argument, "targets");
        weights.open(weights_argument, "weights");
        check_lengths(add_edges_arguments.full_name,
                      {{"'sources'", sources.size()}, {"'targets'", targets.size()}, {"'weights'", weights.size()}});
        sources.convert();
        targets.convert();
        weights.convert();
        sources.retake();
        targets.retake();
        weights.retake();
        sources.pin();
        targets.pin();
        weights.pin();
        return apply_batch(object, add_edges_arguments.full_name, sources.size(), [&](std::size_t& done, auto before) {
            object->diff.add_edges(sources.size(), sources, targets, weights, done, before);
        });
    });
}

PyObject* delete_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [sources_argument, targets_argument] =
            parse_arguments(delete_edges_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        IdColumn sources, targets;
        sources.open(sources_argument, "sources");
        targets.open(targets_argument, "targets");
        check_lengths(delete_edges_arguments.full_name, {{"'sources'", sources.size()}, {"'targets'", targets.size()}});
        sources.convert();
        targets.convert();
        sources.retake();
        targets.retake();
        sources.pin();
        targets.pin();
        return apply_batch(object, delete_edges_arguments.full_name, sources.size(), [&](std::size_t& done, auto before) {
            object->diff.delete_edges(sources.size(), sources, targets, done, before);
        });
    });
}

PyObject* delete_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [ids_argument] = parse_arguments(delete_nodes_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        IdColumn ids;
        ids.open(ids_argument, "ids");
        ids.convert();
        ids.retake();
        ids.pin();
        return apply_batch(object, delete_nodes_arguments.full_name, ids.size(), [&](std::size_t& done, auto before) {
            object->diff.delete_nodes(ids.size(), ids, done, before);
        });
    });
}

PyObject* add_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [ids_argument, updates_argument] = parse_arguments(add_nodes_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        IdColumn ids;
        UpdateColumns updates;
        ids.open(ids_argument, "ids");
        updates.open(updates_argument, "updates");
        Lengths lengths{{"'ids'", ids.size()}};
        updates.lengths([&](std::string label, std::size_t n) { lengths.emplace_back(std::move(label), n); });
        check_lengths(add_nodes_arguments.full_name, lengths);
        ids.convert();
        updates.convert(ids.size());
        ids.retake();
        updates.retake();
        ids.pin();
        updates.pin();
        return apply_batch(object, add_nodes_arguments.full_name, ids.size(), [&](std::size_t& done, auto before) {
            object->diff.set_node_updates(ids.size(), ids, [&](std::size_t i) -> const NodeUpdateView& { return updates.update(i); }, done, before);
        });
    });
}

}  // namespace tarnu::py
