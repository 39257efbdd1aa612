#include "arrow_arguments.hpp"

#include <cstring>
#include <utility>

#include "errors.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

// The attribute, or null (nothing pending) when the object has none.
OwnedRef optional_attribute(PyObject* object, const char* name) {
    OwnedRef attribute = OwnedRef::consuming(PyObject_GetAttrString(object, name));
    if (!attribute) drop_lookup_error();
    return attribute;
}

// Moves the struct out of a capsule named `name`, which keeps a released
// struct for its destructor to find.
template <class Struct>
void move_out_of_capsule(PyObject* capsule, const char* name, ArrowOwned<Struct>& into, const std::string& where) {
    if (!PyCapsule_CheckExact(capsule)) {
        throw_error(PyExc_TypeError, where + ": the Arrow producer returned a '" + type_qualname(Py_TYPE(capsule)) +
                                         "' object where a capsule named '" + name + "' belongs");
    }
    auto* source = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (source == nullptr) throw_pending_error();
    if (source->release == nullptr) {
        throw_error(PyExc_ValueError, where + ": the Arrow capsule '" + name + "' was already consumed");
    }
    into.take(source);
}

}  // namespace

ArrowInput::~ArrowInput() {
    if (!stream_.held() && !schema_.held() && arrays_.empty()) return;
    // A producer's release may be Python code (a ctypes callback): it must
    // not run with this call's exception pending, nor leave one behind.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    arrays_.clear();
    schema_.reset();
    stream_.reset();
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, traceback);
}

void ArrowInput::throw_labelled(const std::string& where, const ArrowInputError& error, std::size_t first) {
    std::string text = where + ": ";
    if (error.item != ArrowInputError::kNoItem) text += "item " + std::to_string(first + error.item) + ": ";
    text += error.message;
    throw_error(error.kind == ArrowInputError::Kind::overflow ? PyExc_OverflowError : PyExc_ValueError, text);
}

void ArrowInput::import_array(PyObject* method) {
    OwnedRef pair = require_new(PyObject_CallObject(method, nullptr));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        throw_error(PyExc_TypeError, where_ + ": __arrow_c_array__ returned a '" + type_qualname(Py_TYPE(pair.get())) +
                                         "' object, not a pair of capsules");
    }
    // Both capsules are held while the structs move out of them.
    OwnedRef schema = OwnedRef::owning(PyTuple_GET_ITEM(pair.get(), 0));
    OwnedRef array = OwnedRef::owning(PyTuple_GET_ITEM(pair.get(), 1));
    move_out_of_capsule(schema.get(), "arrow_schema", schema_, where_);
    OwnedArrowArray imported;
    move_out_of_capsule(array.get(), "arrow_array", imported, where_);
    arrays_.push_back(std::move(imported));
}

void ArrowInput::import_stream(PyObject* method) {
    OwnedRef capsule = require_new(PyObject_CallObject(method, nullptr));
    move_out_of_capsule(capsule.get(), "arrow_array_stream", stream_, where_);
    try {
        // Into the members, so that whatever came before a failure is
        // released by the destructor, with this call's exception put aside.
        read_arrow_stream(*stream_.get(), schema_, arrays_);
    } catch (const ArrowInputError& error) {
        // A stream implemented in Python may have left its own exception.
        if (PyErr_Occurred()) throw_with_cause(PyExc_ValueError, where_ + ": " + error.message);
        throw_labelled(where_, error, 0);
    }
}

bool ArrowInput::take(PyObject* object, std::string where, Shape shape) {
    if (PyList_Check(object) || PyTuple_Check(object) || PyDict_Check(object)) return false;
    where_ = std::move(where);
    shape_ = shape;
    if (OwnedRef method = optional_attribute(object, "__arrow_c_array__")) {
        import_array(method.get());
    } else if (OwnedRef stream = optional_attribute(object, "__arrow_c_stream__")) {
        import_stream(stream.get());
    } else {
        return false;
    }
    std::size_t first = 0;
    try {
        for (const OwnedArrowArray& array : arrays_) {
            if (shape == Shape::column) {
                columns_.push_back(check_arrow_column(*schema_, *array));
                first += columns_.back().length;
            } else {
                batches_.push_back(check_arrow_batch(*schema_, *array));
                first += batches_.back().length;
            }
        }
    } catch (const ArrowInputError& error) {
        throw_labelled(where_, error, first);
    }
    size_ = first;
    return true;
}

const std::uint8_t* ArrowInput::ids_in_place() const noexcept {
    if (columns_.size() != 1 || !arrow_ids_in_place(columns_[0])) return nullptr;
    return columns_[0].fixed_of(0);
}

void ArrowInput::read_ids(NodeId* out) const {
    read([&](const ArrowColumn& column, std::size_t first) { read_arrow_ids(column, first, out + first); });
}

void ArrowInput::read_weights(float* out) const {
    read([&](const ArrowColumn& column, std::size_t first) { read_arrow_weights(column, first, out + first); });
}

std::vector<std::string_view> ArrowInput::child_names() const {
    std::vector<std::string_view> names;
    for (std::int64_t c = 0; c < schema_->n_children; ++c) {
        const char* name = schema_->children[c]->name;
        names.emplace_back(name == nullptr ? "" : name);
    }
    return names;
}

std::vector<ArrowColumn> ArrowInput::child_columns(std::size_t index, const std::string& where) const {
    std::vector<ArrowColumn> columns;
    std::size_t first = 0;
    try {
        for (const ArrowBatch& batch : batches_) {
            columns.push_back(check_arrow_batch_child(batch, index));
            first += batch.length;
        }
    } catch (const ArrowInputError& error) {
        throw_labelled(where, error, first);
    }
    return columns;
}

}  // namespace tarnu::py

namespace tarnu::py {

const std::uint8_t* arrow_ids(const ArrowInput& input, std::unique_ptr<std::uint8_t[]>& converted) {
    if (const std::uint8_t* in_place = input.ids_in_place()) return in_place;
    if (input.size() == 0) return nullptr;
    // Not zeroed first: every byte is written by the parse or the copy.
    converted = std::make_unique_for_overwrite<std::uint8_t[]>(16 * input.size());
    input.read_ids(reinterpret_cast<NodeId*>(converted.get()));
    return converted.get();
}

const float* arrow_weights(const ArrowInput& input, std::vector<float>& converted) {
    bool in_place = false;
    const float* values = nullptr;
    input.read([&](const ArrowColumn& column, std::size_t) {
        in_place = input.size() == column.length && column.format.type == ArrowType::float32 &&
                   column.first_null() == column.length;
        values = static_cast<const float*>(column.values) + column.offset;
    });
    if (in_place) return values;
    converted.resize(input.size());
    input.read_weights(converted.data());
    return converted.data();
}

void throw_unknown_update_column(const std::string& where, std::string_view name, const char* const* names,
                                 std::size_t count) {
    std::string text = where + ": column '" + std::string(name) + "' is not a node property; the columns are 'id' (ignored)";
    for (std::size_t k = 0; k < count; ++k) text += std::string(k + 1 == count ? " and '" : ", '") + names[k] + "'";
    throw_error(PyExc_ValueError, text);
}

}  // namespace tarnu::py
