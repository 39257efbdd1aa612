#include "restore_methods.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "buffer_view.hpp"
#include "bytes/graph_diff_from_bytes.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "graph_diff_object.hpp"
#include "interned.hpp"
#include "method_support.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

// A new PyGraphDiff that takes over `diff`.
PyObject* new_graph_diff(NodeGraphDiff&& diff) { return new_graph_diff_instance(graph_diff_type(), std::move(diff)); }

PyObject* decode_to_graph_diff(PyObject* data) {
    DecodeResult result = [&] {
        BufferView buffer;
        // With strides, so that a strided or reversed view is refused on
        // PyPy too, where PyBUF_SIMPLE gives the memory under it.
        buffer.require(data, PyBUF_RECORDS_RO);
        if (!buffer.c_contiguous()) throw_error(PyExc_TypeError, "from_bytes needs a C-contiguous buffer");
        return graph_diff_from_bytes(static_cast<const std::uint8_t*>(buffer.data()), buffer.bytes());
    }();
    if (auto* error = std::get_if<DecodeError>(&result)) {
        throw_error(PyExc_ValueError,
                    "invalid encoded diff at byte " + std::to_string(error->offset) + ": " + error->reason);
    }
    return new_graph_diff(std::get<NodeGraphDiff>(std::move(result)));
}

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

}  // namespace

// Also the module's private function, which gets the module as its first argument.
PyObject* from_bytes(PyObject*, PyObject* data) {
    return entry_frame([&] { return decode_to_graph_diff(data); });
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

PyObject* copy_diff(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        return new_graph_diff(object->diff.clone());
    });
}

PyObject* deepcopy_diff(PyObject* self, PyObject*) {
    // The record holds no Python objects: a deep copy is the same clone.
    return copy_diff(self, nullptr);
}

PyObject* reduce_diff(PyObject* self, PyObject*) {
    return entry_frame([&] {
        checked_self(self);
        OwnedRef module = require_new(PyImport_ImportModule("tarnu_api"));
        OwnedRef restore = require_new(PyObject_GetAttrString(module.get(), private_module_functions[0].ml_name));
        OwnedRef bytes = require_new(PyObject_CallMethod(self, "to_bytes", nullptr));
        OwnedRef arguments = require_new(PyTuple_Pack(1, bytes.get()));
        return require(PyTuple_Pack(2, restore.get(), arguments.get()));
    });
}

PyObject* sizeof_diff(PyObject* self, PyObject*) {
    return entry_frame([&] {
        PyGraphDiffObject* object = checked_self(self);
        SharedBorrow borrow(object);
        const std::size_t size = static_cast<std::size_t>(Py_TYPE(self)->tp_basicsize) + object->diff.memory_bytes();
        return require(PyLong_FromSize_t(size));
    });
}

PyMethodDef private_module_functions[] = {
    {"_graph_diff_from_bytes", as_cfunction(from_bytes), METH_O,
     "_graph_diff_from_bytes(data, /)\n--\n\nPyGraphDiff.from_bytes(data), where pickle can find it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarnu::py
