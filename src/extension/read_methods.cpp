#include "read_methods.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow_batch_object.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "host_compat.hpp"
#include "interned.hpp"
#include "method_support.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

OwnedRef id_bytes(const NodeId& id) {
    return require_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(id.bytes.data()), 16));
}

OwnedRef new_list(std::size_t size) { return require_new(PyList_New(static_cast<Py_ssize_t>(size))); }

// Stores `item` at `index` of a list made by new_list, which takes it over.
void set_item(const OwnedRef& list, std::size_t index, OwnedRef item) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item.release());
}

OwnedRef tuple_of(OwnedRef first, OwnedRef second) {
    OwnedRef tuple = require_new(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());
    return tuple;
}

void set_key(const OwnedRef& dict, PyObject* key, OwnedRef value) {
    require(PyDict_SetItem(dict.get(), key, value.get()));
}

// A property's value as a Python object, by the kind of the property.
OwnedRef property_object(node_property::Text, std::string_view text) { return new_str(text); }
OwnedRef property_object(node_property::Float, float value) { return require_new(PyFloat_FromDouble(value)); }
OwnedRef property_object(node_property::Colour, std::uint8_t value) { return require_new(PyLong_FromLong(value)); }
OwnedRef property_object(node_property::Flag, bool value) { return require_new(PyBool_FromLong(value)); }

// The update as add_node takes it: only the present properties, under the
// argument's keys, in the order of the fields.
OwnedRef node_update_dict(const NodeUpdateView& update) {
    OwnedRef dict = require_new(PyDict_New());
    for_each_node_property([&](auto property) {
        if (const auto& value = property.of(update)) {
            set_key(dict, property.of(interned_names), property_object(typename decltype(property)::Kind{}, *value));
        }
    });
    return dict;
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

// The type's __init_subclass__ where the host lets a class statement
// subclass it (refuse_subclasses_where_ignored).
PyObject* refuse_counts_subclass(PyObject*, PyObject*, PyObject*) {
    return entry_frame([]() -> PyObject* {
        throw_error(PyExc_TypeError, "type 'tarnu_api.DiffCounts' is not an acceptable base type");
    });
}

PyMethodDef refuse_counts_subclass_method = {
    "__init_subclass__", as_cfunction(refuse_counts_subclass), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
    "__init_subclass__($type, /, **kwargs)\n--\n\nRefused: the type is not a base."};

}  // namespace

PyTypeObject* counts_type() {
    if (module_state.counts_type == nullptr) [[unlikely]] {
        OwnedRef type = require_new(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&counts_description)));
        refuse_subclasses_where_ignored(reinterpret_cast<PyTypeObject*>(type.get()), &refuse_counts_subclass_method);
        module_state.counts_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    return module_state.counts_type;
}

PyObject* node_updates(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const auto nodes = object->diff.nodes();
        OwnedRef list = new_list(nodes.size());
        std::size_t i = 0;
        nodes.for_each([&](const NodeId& id, const NodeUpdateView& update) {
            set_item(list, i++, tuple_of(id_bytes(id), node_update_dict(update)));
        });
        return list.release();
    });
}

PyObject* deleted_nodes(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const auto deleted = object->diff.deleted_nodes();
        OwnedRef list = new_list(deleted.size());
        std::size_t i = 0;
        deleted.for_each([&](const NodeId& id) { set_item(list, i++, id_bytes(id)); });
        return list.release();
    });
}

PyObject* edge_updates(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const auto pending = object->diff.edges().new_or_updated();
        OwnedRef list = new_list(pending.num_targets());
        // A target is named by many edges: one bytes object per id, shared.
        std::vector<OwnedRef> target_bytes(object->diff.id_count());
        std::size_t i = 0;
        pending.for_each([&](const NodeId& source, const auto& targets) {
            if (targets.size() == 0) return;  // a source left without targets holds no edge
            const OwnedRef from = id_bytes(source);
            targets.for_each_indexed([&](std::uint32_t index, const NodeId& target, float weight) {
                OwnedRef& to = target_bytes[index];
                if (!to) to = id_bytes(target);
                OwnedRef value = require_new(PyFloat_FromDouble(weight));
                OwnedRef edge = require_new(PyTuple_New(3));
                PyTuple_SET_ITEM(edge.get(), 0, OwnedRef::owning(from.get()).release());
                PyTuple_SET_ITEM(edge.get(), 1, OwnedRef::owning(to.get()).release());
                PyTuple_SET_ITEM(edge.get(), 2, value.release());
                // Two bytes and a float cannot be part of a cycle: the
                // collector need not visit the million tuples of a large
                // diff again and again while the list fills (it would stop
                // tracking them at its next pass anyway).
                PyObject_GC_UnTrack(edge.get());
                set_item(list, i++, std::move(edge));
            });
        });
        return list.release();
    });
}

PyObject* deleted_edges(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const auto deleted = object->diff.edges().deleted();
        OwnedRef list = new_list(deleted.num_targets());
        std::size_t i = 0;
        deleted.for_each([&](const NodeId& source, const auto& targets) {
            const OwnedRef from = id_bytes(source);
            targets.for_each([&](const NodeId& target) {
                set_item(list, i++, tuple_of(OwnedRef::owning(from.get()), id_bytes(target)));
            });
        });
        return list.release();
    });
}

PyObject* to_arrow(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const GraphDiff& diff = object->diff;
        OwnedRef result = require_new(PyDict_New());
        const auto add = [&](const char* key, ExportBatch (*build)(const GraphDiff&)) {
            ExportBatch batch;
            try {
                batch = build(diff);
            } catch (const std::length_error& error) {
                throw_error(PyExc_OverflowError, std::string("to_arrow: ") + error.what());
            }
            OwnedRef value = new_batch_object(std::move(batch));
            require(PyDict_SetItemString(result.get(), key, value.get()));
        };
        add("node_updates", node_updates_batch);
        add("deleted_nodes", deleted_nodes_batch);
        add("edge_updates", edge_updates_batch);
        add("deleted_edges", deleted_edges_batch);
        return result.release();
    });
}

namespace {

using Sizes = GraphDiff::Counts;

bool same_sizes(const Sizes& a, const Sizes& b) {
    return a.node_updates == b.node_updates && a.deleted_nodes == b.deleted_nodes &&
           a.edge_updates == b.edge_updates && a.deleted_edges == b.deleted_edges;
}

// The last result of counts() and of repr() is kept with the sizes it shows
// (ModuleState). Both are immutable, so a later call on any diff of the same
// sizes hands out the same object: a diff asked again and again while
// nothing changes (a progress display, a logger) costs a comparison, not a
// new tuple or str. The two objects live until the process ends, like the
// interned names.
PyObject* find(const LastResult& last, const Sizes& now) {
    return last.object != nullptr && same_sizes(last.sizes, now) ? OwnedRef::owning(last.object).release() : nullptr;
}

PyObject* keep(LastResult& last, const Sizes& now, OwnedRef made) {
    OwnedRef dropped = OwnedRef::consuming(last.object);
    last.sizes = now;
    last.object = OwnedRef::owning(made.get()).release();
    return made.release();
}

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
        if (PyObject* same = find(module_state.last_counts, sizes)) return same;
        OwnedRef result = require_new(PyStructSequence_New(counts_type()));
        const std::size_t values[] = {sizes.node_updates, sizes.deleted_nodes, sizes.edge_updates, sizes.deleted_edges};
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyStructSequence_SET_ITEM(result.get(), i, new_count(values[i]));
        }
        return keep(module_state.last_counts, sizes, std::move(result));
    });
}

PyObject* repr_diff(PyObject* self) {
    return entry_frame([&] {
        const Sizes sizes = checked_self(self)->diff.counts();
        if (PyObject* same = find(module_state.last_repr, sizes)) return same;
        std::string text = "<PyGraphDiff: ";
        append_count(text, sizes.node_updates, "node update");
        text += ", ";
        append_count(text, sizes.deleted_nodes, "deleted node");
        text += ", ";
        append_count(text, sizes.edge_updates, "edge");
        text += ", ";
        append_count(text, sizes.deleted_edges, "deleted edge");
        text += '>';
        return keep(module_state.last_repr, sizes, new_str(text));
    });
}

}  // namespace tarnu::py
