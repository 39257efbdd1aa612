#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "basics/node_id.hpp"
#include "node_update/node_update.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace tarnu::py {

// Each conversion takes a borrowed reference and returns the value, or throws
// PendingError with the Python exception set (or InternalFailure). Their
// names: `X_from_Y` converts one Python type, with its own errors;
// `extract_X` converts a value as the methods read it; `extract_X_argument`
// does the same for an argument and labels its errors with the argument's
// name.

// A node id from `bytes` or a subclass holding exactly 16 bytes.
NodeId node_id_from_bytes(PyObject* object);

// extract_node_id_argument for anything but an exact `bytes` of 16.
NodeId extract_node_id_argument_slow(PyObject* object, const char* argument_name);

// A node id argument of the single methods: node_id_from_bytes, its errors
// wrapped as TypeError "failed to extract field PyUuid.0" and labelled with
// the argument's name. The common case (an exact `bytes` of 16) is inlined
// into the method wrappers: it is checked twice per add_edge call.
inline NodeId extract_node_id_argument(PyObject* object, const char* argument_name) {
    if (Py_TYPE(object) == &PyBytes_Type && PyBytes_GET_SIZE(object) == 16) [[likely]] {
        return NodeId::from_bytes(PyBytes_AS_STRING(object));
    }
    return extract_node_id_argument_slow(object, argument_name);
}

// A node update read from a dict. Its texts view the UTF-8 of the dict's
// str values, which it keeps alive, so reading one makes no copy: the record
// copies them once, into its own storage. It converts to the
// NodeUpdateView that GraphDiff::set_node_update takes.
class NodeUpdateArgument {
public:
    operator const NodeUpdateView&() const noexcept { return view_; }  // NOLINT(google-explicit-constructor)
    const NodeUpdateView& view() const noexcept { return view_; }

private:
    friend NodeUpdateArgument node_update_from_dict(PyObject* object);
    NodeUpdateView view_;
    // The str of each text property, by its slot among the texts.
    std::array<OwnedRef, node_property::count_of(node_property::KindId::text)> text_owners_;
};

// A node update from the known keys of a dict (one per node property), read
// in a fixed order.
NodeUpdateArgument node_update_from_dict(PyObject* object);

std::string extract_text(PyObject* object);
// The UTF-8 of a str, as extract_text reads it, valid while `owner` lives:
// the str, or on PyPy an exact copy of a subclass instance (whose C view
// would be sized by its __len__).
std::string_view text_view(PyObject* object, OwnedRef& owner);
float extract_f32(PyObject* object);
std::uint8_t extract_u8(PyObject* object);
bool extract_bool(PyObject* object);

// The converter of each kind of node property.
inline std::string extract_property_value(node_property::Text, PyObject* object) { return extract_text(object); }
inline float extract_property_value(node_property::Float, PyObject* object) { return extract_f32(object); }
inline std::uint8_t extract_property_value(node_property::Colour, PyObject* object) { return extract_u8(object); }
inline bool extract_property_value(node_property::Flag, PyObject* object) { return extract_bool(object); }

// A float argument such as `weight`, labelled with its name.
float extract_f32_argument(PyObject* object, const char* argument_name);
NodeUpdateArgument extract_node_update_argument(PyObject* object, const char* argument_name);

}  // namespace tarnu::py
