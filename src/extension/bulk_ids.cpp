#include "bulk_ids.hpp"

#include <string_view>

#include "arrow/uuid_text.hpp"
#include "errors.hpp"
#include "host_compat.hpp"
#include "interned.hpp"
#include "module_state.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

constexpr std::string_view kIdsAccepted =
    "ids are read from a list or tuple of 16-byte bytes, UUID text or uuid.UUID, from a C-contiguous buffer of "
    "bytes (format 'B', 'b' or 'c', or 16-byte items such as numpy's 'S16' and 'V16') whose size is a multiple "
    "of 16, or from an Arrow array of fixed_size_binary(16), 16-byte binary or UUID text";

// Whether the object is a pandas Index (its class's module is pandas' and
// its name ends in "Index"), for a refusal's text: an Index exports neither
// interface the ids are read through. Only on the way to an error.
bool is_pandas_index(PyObject* object) {
    OwnedRef module = OwnedRef::consuming(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
    if (!module) {
        drop_lookup_error();  // an interrupt passes on
        return false;
    }
    if (!PyUnicode_Check(module.get())) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(module.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    const std::string name = type_qualname(Py_TYPE(object));
    return std::string_view(text, static_cast<std::size_t>(size)).starts_with("pandas") && name.size() >= 5 &&
           name.compare(name.size() - 5, 5, "Index") == 0;
}

// Single-byte items, or 16-byte items (numpy 'S16' exports "16s", 'V16'
// "16x"). Anything else, numpy's object arrays included, holds no ids.
bool is_id_format(std::string_view format, std::size_t item_size) {
    if (item_size == 1) return format == "B" || format == "b" || format == "c";
    return item_size == 16 && (format == "16s" || format == "16x");
}

// TypeError "expected 16 bytes, got N", whose __cause__ is the single
// methods' reason, Exception "Expected 16 bytes.".
[[noreturn]] void throw_id_length(Py_ssize_t size) {
    PyErr_SetString(PyExc_Exception, "Expected 16 bytes.");
    throw_with_cause(PyExc_TypeError, "expected 16 bytes, got " + std::to_string(size));
}

// An id from a `bytes` (or subclass) item, through an exact copy on PyPy,
// whose C view of a subclass is sized by its own __len__.
NodeId id_from_bytes_item(PyObject* item) {
    const OwnedRef exact = exact_builtin_copy(item, &PyBytes_Type);
    const Py_ssize_t size = PyBytes_GET_SIZE(exact.get());
    if (size != 16) throw_id_length(size);
    return NodeId::from_bytes(PyBytes_AS_STRING(exact.get()));
}

// An id from UUID text, in the forms an Arrow column of UUID text takes:
// ValueError with that column's texts for anything else.
NodeId id_from_uuid_text(PyObject* item) {
    const OwnedRef exact = exact_builtin_copy(item, &PyUnicode_Type);
    const Py_ssize_t length = PyUnicode_GetLength(exact.get());
    if (length != 36 && length != 32) {
        if (length < 0) throw_pending_error();
        throw_error(PyExc_ValueError, "text of " + std::to_string(length) +
                                          " characters is not a UUID (36 characters with hyphens, or 32 hex digits)");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(exact.get(), &size);
    if (text == nullptr) {
        // Lone surrogates have no UTF-8 form, and are no hex digits either.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_pending_error();
        PyErr_Clear();
    }
    NodeId id;
    // Text of as many UTF-8 bytes as characters is ASCII.
    if (text != nullptr && size == length && parse_uuid_text(text, static_cast<std::size_t>(size), id.bytes.data())) {
        return id;
    }
    const OwnedRef shown = require_new(PyObject_Repr(exact.get()));
    throw_error(PyExc_ValueError, object_text(shown.get()) + " is not a UUID");
}

// uuid.UUID, imported the first time an item is neither bytes nor text.
// Null, with nothing pending, where there is no such module or class: then
// no item is one. Any other failure of the import passes on.
PyTypeObject* uuid_class() {
    if (module_state.uuid_class == nullptr) [[unlikely]] {
        OwnedRef module = OwnedRef::consuming(PyImport_ImportModule("uuid"));
        OwnedRef found = module ? OwnedRef::consuming(PyObject_GetAttrString(module.get(), "UUID")) : OwnedRef();
        if (!found) {
            if (!PyErr_ExceptionMatches(module ? PyExc_AttributeError : PyExc_ImportError)) throw_pending_error();
            PyErr_Clear();
            return nullptr;
        }
        if (!PyType_Check(found.get())) return nullptr;
        module_state.uuid_class = found.release();
    }
    return reinterpret_cast<PyTypeObject*>(module_state.uuid_class);
}

// TypeError "an int is not a node id; ...", whose __cause__ is the single
// methods' reason, TypeError "'int' object cannot be converted to 'PyBytes'".
[[noreturn]] void throw_not_an_id(PyObject* item) {
    const std::string name = type_qualname(Py_TYPE(item));
    const bool vowel = !name.empty() && std::string_view("aeiouAEIOU").find(name.front()) != std::string_view::npos;
    const std::string text = (item == Py_None ? std::string("None") : (vowel ? "an " : "a ") + name) +
                             " is not a node id; ids are 16-byte bytes, UUID text or uuid.UUID";
    PyErr_SetString(PyExc_TypeError, ("'" + name + "' object cannot be converted to 'PyBytes'").c_str());
    throw_with_cause(PyExc_TypeError, text);
}

// An id item that is not an exact `bytes` of 16: a bytes subclass, UUID
// text, or a uuid.UUID (its `bytes`, read as an item of their own).
[[gnu::noinline]] NodeId id_item(PyObject* item) {
    if (type_has_flag(item, Py_TPFLAGS_UNICODE_SUBCLASS)) return id_from_uuid_text(item);
    if (type_has_flag(item, Py_TPFLAGS_BYTES_SUBCLASS)) return id_from_bytes_item(item);
    PyTypeObject* uuid = uuid_class();
    if (uuid != nullptr && PyObject_TypeCheck(item, uuid)) {
        const OwnedRef bytes = require_new(PyObject_GetAttr(item, interned_names.bytes));
        if (type_has_flag(bytes.get(), Py_TPFLAGS_BYTES_SUBCLASS)) return id_from_bytes_item(bytes.get());
        throw_not_an_id(bytes.get());
    }
    throw_not_an_id(item);
}

}  // namespace

void IdColumn::open(PyObject* object, const char* name) {
    where_ = std::string("argument '") + name + "'";
    if (sequence_.take(object, true)) {
        size_ = sequence_.size();
        return;
    }
    if (arrow_.take(object, where_, ArrowInput::Shape::column)) {
        size_ = arrow_.size();
        return;
    }
    const auto check = [&](const BufferView& buffer) {
        if (!is_id_format(buffer.format(), buffer.item_size())) {
            throw_argument_error(PyExc_TypeError, where_,
                                 "a buffer of format '" + std::string(buffer.format()) + "' is not accepted; " +
                                     std::string(kIdsAccepted));
        }
        if (!buffer.c_contiguous()) {
            throw_argument_error(PyExc_ValueError, where_,
                                 "the buffer is not C-contiguous; " + std::string(kIdsAccepted));
        }
        if (buffer.bytes() % 16 != 0) {
            throw_argument_error(PyExc_ValueError, where_,
                                 "a buffer of " + std::to_string(buffer.bytes()) + " bytes is not a whole number of " +
                                     "16-byte ids; " + std::string(kIdsAccepted));
        }
    };
    if (!buffer_.open(object, check)) {
        if (is_pandas_index(object)) {
            throw_argument_error(PyExc_TypeError, where_,
                                 "a pandas '" + type_qualname(Py_TYPE(object)) +
                                     "' exports no Arrow array or buffer; pass list(index) or pyarrow.array(index)");
        }
        throw_wrong_kind(object, where_, kIdsAccepted);
    }
    size_ = buffer_.bytes() / 16;
}

void IdColumn::open_child(const ArrowInput& batch, std::size_t child, const char* name) {
    where_ = std::string("argument '") + name + "'";
    batch_ = &batch;
    child_ = child;
    size_ = batch.size();
}

void IdColumn::convert() {
    if (buffer_.present() || arrow_.held() || batch_ != nullptr) return;
    converted_.resize(size_);
    sequence_.for_each(where_, [&](PyObject* item, std::size_t i) {
        if (Py_TYPE(item) == &PyBytes_Type && PyBytes_GET_SIZE(item) == 16) [[likely]] {
            converted_[i] = NodeId::from_bytes(PyBytes_AS_STRING(item));
            return;
        }
        converted_[i] = id_item(item);
    });
    bytes_ = converted_.empty() ? nullptr : converted_.front().bytes.data();
}

void IdColumn::retake() {
    if (!buffer_.present()) return;
    // The checks of open() again: the exporter may have changed since.
    buffer_.pin(where_, [](const BufferView& buffer) {
        return is_id_format(buffer.format(), buffer.item_size()) && buffer.c_contiguous();
    });
    bytes_ = buffer_.data();
}

void IdColumn::pin() {
    if (arrow_.held()) {
        arrow_.pin();
        bytes_ = arrow_ids(arrow_.columns(), size_, where_, arrow_ids_);
    } else if (batch_ != nullptr) {
        bytes_ = arrow_ids(batch_->child_columns(child_, where_), size_, where_, arrow_ids_);
    }
}

}  // namespace tarnu::py
