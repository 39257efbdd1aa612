#include "arrow_arguments.hpp"

#include <cstring>
#include <utility>

#include "errors.hpp"
#include "host_compat.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

// The attribute, or null (nothing pending) when the object has none: only
// an AttributeError says so. Any other error of the lookup (a property
// that raises ImportError, MemoryError, an interrupt) is the caller's, and
// passes unchanged.
OwnedRef optional_attribute(PyObject* object, const char* name) {
    OwnedRef attribute = OwnedRef::consuming(PyObject_GetAttrString(object, name));
    if (!attribute) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending_error();
        PyErr_Clear();
    }
    return attribute;
}

// Calls a producer's capsule method, which must be callable.
ProducerResult call_producer(PyObject* method, const char* name, const std::string& where) {
    if (!PyCallable_Check(method)) {
        throw_error(PyExc_TypeError, where + ": " + name + " is a '" + type_qualname(Py_TYPE(method)) +
                                         "' object, not a method");
    }
    return call_arrow_producer(method);
}

[[noreturn]] void throw_not_a_capsule(PyObject* type, const char* name, const std::string& where) {
    const std::string what =
        type == nullptr ? std::string("nothing")
                        : "a '" + type_qualname(reinterpret_cast<PyTypeObject*>(type)) + "' object";
    throw_error(PyExc_TypeError,
                where + ": the Arrow producer returned " + what + " where a capsule named '" + name + "' belongs");
}

// A capsule's name as an error quotes it: printable ASCII, at most 40
// characters.
std::string capsule_name_text(PyObject* capsule) {
    const char* name = PyCapsule_GetName(capsule);
    if (name == nullptr) {
        PyErr_Clear();
        return "a capsule without a name";
    }
    std::string text = "a capsule named '";
    for (std::size_t i = 0; name[i] != '\0' && i < 40; ++i) {
        const char c = name[i];
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text + "'";
}

// Moves the struct out of a capsule named `name`, which keeps a released
// struct for its destructor to find.
template <class Struct>
void move_out_of_capsule(PyObject* capsule, const char* name, ArrowOwned<Struct>& into, const std::string& where) {
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule)) {
        throw_not_a_capsule(capsule == nullptr ? nullptr : reinterpret_cast<PyObject*>(Py_TYPE(capsule)), name, where);
    }
    if (!PyCapsule_IsValid(capsule, name)) {
        throw_error(PyExc_TypeError, where + ": the Arrow producer returned " + capsule_name_text(capsule) +
                                         " where a capsule named '" + name + "' belongs");
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
    ProducerResult produced = call_producer(method, "__arrow_c_array__", where_);
    // An exact tuple only: PyPy sizes its C view of a subclass by the
    // subclass's own __len__, leaving the items it did not count null. Its
    // items are told by their types before anything is taken out of it.
    if (produced.items() != 2) {
        throw_error(PyExc_TypeError, where_ + ": __arrow_c_array__ returned a '" +
                                         type_qualname(reinterpret_cast<PyTypeObject*>(produced.type.get())) +
                                         "' object, not a pair of capsules");
    }
    static constexpr const char* kCapsuleNames[] = {"arrow_schema", "arrow_array"};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* type = produced.item_type(i);
        if (type != reinterpret_cast<PyObject*>(&PyCapsule_Type)) throw_not_a_capsule(type, kCapsuleNames[i], where_);
    }
    // PyPy hands out the result itself once every item is a capsule.
    const OwnedRef& pair = produced.value;
    if (!pair) throw InternalFailure{"an Arrow producer's pair of capsules was not handed out"};
    // Both capsules are held while the structs move out of them.
    OwnedRef schema = OwnedRef::owning(PyTuple_GET_ITEM(pair.get(), 0));
    OwnedRef array = OwnedRef::owning(PyTuple_GET_ITEM(pair.get(), 1));
    move_out_of_capsule(schema.get(), "arrow_schema", schema_, where_);
    OwnedArrowArray imported;
    move_out_of_capsule(array.get(), "arrow_array", imported, where_);
    arrays_.push_back(std::move(imported));
}

void ArrowInput::import_stream(PyObject* method) {
    ProducerResult produced = call_producer(method, "__arrow_c_stream__", where_);
    if (!produced.value) throw_not_a_capsule(produced.type.get(), "arrow_array_stream", where_);  // PyPy
    move_out_of_capsule(produced.value.get(), "arrow_array_stream", stream_, where_);
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
        size_ = arrow_chunks_length(arrays_);
        check_arrow_schema(*schema_, shape_);
        formats_ = arrow_schema_formats(*schema_);
        // Each chunk's layout, for an early refusal; pin() checks it again
        // with the items.
        for (const OwnedArrowArray& array : arrays_) {
            if (shape_ == Shape::column) check_arrow_column_layout(*schema_, *array);
            else check_arrow_batch(*schema_, *array);
            first += static_cast<std::size_t>(array->length);
        }
        if (shape_ == Shape::batch) {
            for (std::int64_t c = 0; c < schema_->n_children; ++c) {
                const char* name = schema_->children[c]->name;
                child_names_.emplace_back(name == nullptr ? "" : std::string_view(name, strnlen(name, 4096)));
            }
            index_names_ = pandas_index_columns(schema_->metadata);
        }
    } catch (const ArrowInputError& error) {
        throw_labelled(where_, error, first);
    }
    return true;
}

void ArrowInput::pin() {
    std::size_t first = 0;
    try {
        // The schema on its own first: a stream of no chunks is checked too.
        check_arrow_schema(*schema_, shape_);
        if (arrow_schema_formats(*schema_) != formats_) {
            throw_arrow_error("the schema's types changed while the other arguments were converted");
        }
        for (const OwnedArrowArray& array : arrays_) {
            if (shape_ == Shape::column) columns_.push_back(check_arrow_column(*schema_, *array));
            else batches_.push_back(check_arrow_batch(*schema_, *array));
            first += static_cast<std::size_t>(array->length);
        }
    } catch (const ArrowInputError& error) {
        throw_labelled(where_, error, first);
    }
}

std::vector<ArrowColumn> ArrowInput::child_columns(std::size_t index, const std::string& where) const {
    std::vector<ArrowColumn> columns;
    std::size_t first = 0;
    try {
        check_arrow_schema(*schema_->children[index], ArrowShape::column);
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

const std::uint8_t* arrow_ids(const std::vector<ArrowColumn>& columns, std::size_t size, const std::string& where,
                              std::unique_ptr<std::uint8_t[]>& converted) {
    // No ids, no pointer: an empty column may have no values buffer, and
    // fixed_of(0) would add its offset to a null pointer.
    if (size == 0) return nullptr;
    if (columns.size() == 1 && arrow_ids_in_place(columns[0])) return columns[0].fixed_of(0);
    // A null array costs its producer nothing at any length (pyarrow.nulls(2**31)):
    // nothing is sized for one, and the reader refuses it at item 0, writing
    // nothing. Otherwise not zeroed first: every byte is written by the parse
    // or the copy. The size is at most 2^56 ids (arrow_chunks_length): the
    // product fits.
    if (columns.front().format.type != ArrowType::null) converted = std::make_unique_for_overwrite<std::uint8_t[]>(16 * size);
    auto* out = reinterpret_cast<NodeId*>(converted.get());
    ArrowInput::read_columns(columns, where, [&](const ArrowColumn& column, std::size_t first) {
        read_arrow_ids(column, first, out == nullptr ? nullptr : out + first);
    });
    return converted.get();
}

const float* arrow_weights(const std::vector<ArrowColumn>& columns, std::size_t size, const std::string& where,
                           std::vector<float>& converted) {
    if (columns.size() == 1) {
        const ArrowColumn& column = columns[0];
        if (column.format.type == ArrowType::float32 && column.length != 0 && column.first_null() == column.length) {
            return static_cast<const float*>(column.values) + column.offset;
        }
    }
    // As for ids: nothing is sized for a null array.
    if (columns.empty() || columns.front().format.type != ArrowType::null) converted.resize(size);
    float* out = converted.empty() ? nullptr : converted.data();
    ArrowInput::read_columns(columns, where, [&](const ArrowColumn& column, std::size_t first) {
        read_arrow_weights(column, first, out == nullptr ? nullptr : out + first);
    });
    return converted.data();
}

void throw_unknown_update_column(const std::string& where, std::string_view name, const char* const* names,
                                 std::size_t count) {
    std::string text = where + ": column '" + std::string(name) + "' is not a node property; the columns are 'id' (ignored)";
    for (std::size_t k = 0; k < count; ++k) text += std::string(k + 1 == count ? " and '" : ", '") + names[k] + "'";
    throw_error(PyExc_ValueError, text);
}

void throw_repeated_update_column(const std::string& where, std::string_view name) {
    throw_error(PyExc_ValueError, where + ": column '" + std::string(name) + "' is given twice");
}

}  // namespace tarnu::py
