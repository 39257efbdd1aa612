#include "edit_methods.hpp"

#include "arguments.hpp"
#include "conversions.hpp"
#include "entry_frame.hpp"
#include "method_support.hpp"

namespace tarnu::py {

namespace {

constexpr ArgumentDescription<2> add_node_arguments{"PyGraphDiff.add_node()", {"id", "update"}};
constexpr ArgumentDescription<1> delete_node_arguments{"PyGraphDiff.delete_node()", {"id"}};
constexpr ArgumentDescription<3> add_edge_arguments{"PyGraphDiff.add_edge()", {"from", "to", "weight"}};
constexpr ArgumentDescription<2> delete_edge_arguments{"PyGraphDiff.delete_edge()", {"from", "to"}};

}  // namespace

PyObject* num_nodes(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        return new_count(object->diff.num_nodes());
    });
}

PyObject* num_edges(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        return new_count(object->diff.num_edges());
    });
}

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [id_argument, update_argument] = parse_arguments(add_node_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        const NodeId id = extract_node_id_argument(id_argument, "id");
        const NodeUpdateArgument update = extract_node_update_argument(update_argument, "update");
        object->diff.set_node_update(id, update);
        return none();
    });
}

PyObject* delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [id_argument] = parse_arguments(delete_node_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        const NodeId id = extract_node_id_argument(id_argument, "id");
        object->diff.delete_node(id);
        return none();
    });
}

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [from_argument, to_argument, weight_argument] =
            parse_arguments(add_edge_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        const NodeId from = extract_node_id_argument(from_argument, "from");
        const NodeId to = extract_node_id_argument(to_argument, "to");
        const float weight = extract_f32_argument(weight_argument, "weight");
        // An edge to or from a node marked deleted is refused by the record,
        // which then holds no trace of the call; the caller is not told.
        (void)object->diff.add_edge(from, to, weight);
        return none();
    });
}

PyObject* delete_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        const auto [from_argument, to_argument] = parse_arguments(delete_edge_arguments, args, nargsf, keyword_names);
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        const NodeId from = extract_node_id_argument(from_argument, "from");
        const NodeId to = extract_node_id_argument(to_argument, "to");
        object->diff.delete_edge(from, to);
        return none();
    });
}

PyObject* clear(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        object->diff.clear();
        return none();
    });
}

}  // namespace tarnu::py
