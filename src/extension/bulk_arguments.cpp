#include "bulk_arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "arrow/uuid_text.hpp"
#include "conversions.hpp"
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
constexpr std::string_view kWeightsAccepted =
    "weights are read from a sequence of numbers, from a one-dimensional C-contiguous buffer of format "
    "'f' or 'd', or from an Arrow array of a float, integer or decimal type";
constexpr std::string_view kUpdatesAccepted =
    "updates are read from a sequence of update dicts, from a dict of columns, or from an Arrow table, record "
    "batch or data frame with a column per property";

[[noreturn]] void throw_argument_error(PyObject* type, const std::string& where, std::string_view message) {
    std::string text = where;
    text += ": ";
    text += message;
    throw_error(type, text);
}

// "'{qualname}' object is neither ..." for an argument of the wrong kind.
[[noreturn]] void throw_wrong_kind(PyObject* object, const std::string& where, std::string_view accepted) {
    std::string message = "'" + type_qualname(Py_TYPE(object)) + "' object is not accepted; ";
    message += accepted;
    throw_argument_error(PyExc_TypeError, where, message);
}

// Whether the object is a pandas Index (its class's module is pandas' and
// its name ends in "Index"), for a refusal's text: an Index exports neither
// interface the ids are read through. Only on the way to an error.
bool is_pandas_index(PyObject* object) {
    OwnedRef module = OwnedRef::consuming(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
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

bool has_format(const BufferView& buffer, std::string_view formats) {
    const std::string_view format = buffer.format();
    bool known = false;
    for (char f : formats) known = known || format == std::string_view(&f, 1);
    return known;
}

bool is_column_layout(const BufferView& buffer) { return buffer.one_dimensional() && buffer.c_contiguous(); }

// A taken buffer that is not one-dimensional, C-contiguous and of `format`.
void check_column_buffer(const BufferView& buffer, const std::string& where, std::string_view formats,
                         std::string_view accepted) {
    const std::string_view format = buffer.format();
    if (!has_format(buffer, formats)) {
        throw_argument_error(PyExc_TypeError, where,
                             "a buffer of format '" + std::string(format) + "' is not accepted; " +
                                 std::string(accepted));
    }
    if (!is_column_layout(buffer)) {
        throw_argument_error(PyExc_ValueError, where,
                             "the buffer is not one-dimensional and C-contiguous; " + std::string(accepted));
    }
}

// Relabels the pending error of item i: same type, text "{where}: item {i}:
// {text}", the old exception's own __cause__ kept. Only ordinary errors
// (Exception, MemoryError aside) are relabelled; an exception type whose
// constructor does not take one text passes unchanged.
void label_item_error(const std::string& where, std::size_t index) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    FetchedError error = fetch_normalized();
    std::string message = where + ": item " + std::to_string(index) + ": " + object_text(error.value.get());
    OwnedRef text = new_str(message);
    OwnedRef labelled = OwnedRef::consuming(PyObject_CallOneArg(error.type.get(), text.get()));
    if (!labelled || Py_TYPE(labelled.get()) != reinterpret_cast<PyTypeObject*>(error.type.get())) {
        PyErr_Clear();
        restore(std::move(error));
        return;
    }
    PyException_SetCause(labelled.get(), PyException_GetCause(error.value.get()));
    // A hint added to the item's error (add_note, 3.11 and later) goes along.
    OwnedRef notes = OwnedRef::consuming(PyObject_GetAttrString(error.value.get(), "__notes__"));
    if (!notes || PyObject_SetAttrString(labelled.get(), "__notes__", notes.get()) != 0) PyErr_Clear();
    PyErr_SetObject(error.type.get(), labelled.get());
}

}  // namespace

// --- sequences --------------------------------------------------------------

bool ItemSequence::take(PyObject* object, bool lists_and_tuples_only) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        sequence_ = OwnedRef::owning(object);
    } else if (PyList_Check(object) || PyTuple_Check(object) || (!lists_and_tuples_only && PySequence_Check(object))) {
        sequence_ = require_new(PySequence_List(object));
    } else {
        return false;
    }
    size_ = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence_.get()));
    return true;
}

PyObject* ItemSequence::item(std::size_t i, const std::string& where) const {
    // A list that Python code shortened while its items converted.
    if (i >= static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence_.get()))) [[unlikely]] {
        throw_argument_error(PyExc_RuntimeError, where, "the list changed size while its items were converted");
    }
    PyObject* item = PySequence_Fast_GET_ITEM(sequence_.get(), static_cast<Py_ssize_t>(i));
    if (item == nullptr) [[unlikely]] {
        // PyPy could not make the item's C view (a bytes subclass whose
        // __len__ raises or under-reports): its error, or a ValueError.
        if (!PyErr_Occurred()) {
            throw_argument_error(PyExc_ValueError, where,
                                 "item " + std::to_string(i) + ": the interpreter could not read it");
        }
        label_item_error(where, i);
        throw_pending_error();
    }
    return item;
}

template <class Convert>
void ItemSequence::convert_item(std::size_t i, const std::string& where, Convert&& convert) const {
    OwnedRef held = OwnedRef::owning(item(i, where));
    try {
        convert(held.get(), i);
    } catch (const PendingError&) {
        label_item_error(where, i);
        throw;
    }
}

// --- ids --------------------------------------------------------------------

namespace {

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

// --- weights ----------------------------------------------------------------

void WeightColumn::open(PyObject* object, const char* name) {
    where_ = std::string("argument '") + name + "'";
    if (sequence_.take(object, true)) {
        size_ = sequence_.size();
        return;
    }
    if (arrow_.take(object, where_, ArrowInput::Shape::column)) {
        size_ = arrow_.size();
        return;
    }
    if (buffer_.open(object, [&](const BufferView& buffer) {
            check_column_buffer(buffer, where_, "fd", kWeightsAccepted);
        })) {
        doubles_ = buffer_.item_size() == sizeof(double);
        size_ = buffer_.items();
        return;
    }
    if (!sequence_.take(object, false)) throw_wrong_kind(object, where_, kWeightsAccepted);
    size_ = sequence_.size();
}

void WeightColumn::open_child(const ArrowInput& batch, std::size_t child, const char* name) {
    where_ = std::string("argument '") + name + "'";
    batch_ = &batch;
    child_ = child;
    size_ = batch.size();
}

void WeightColumn::convert() {
    if (buffer_.present() || arrow_.held() || batch_ != nullptr) return;
    converted_.resize(size_);
    sequence_.for_each(where_, [&](PyObject* item, std::size_t i) { converted_[i] = extract_f32(item); });
    bytes_ = reinterpret_cast<const std::uint8_t*>(converted_.data());
}

void WeightColumn::retake() {
    if (!buffer_.present()) return;
    buffer_.pin(where_, [](const BufferView& buffer) { return has_format(buffer, "fd") && is_column_layout(buffer); });
    bytes_ = buffer_.data();
}

void WeightColumn::pin() {
    if (arrow_.held()) {
        arrow_.pin();
        bytes_ = reinterpret_cast<const std::uint8_t*>(arrow_weights(arrow_.columns(), size_, where_, converted_));
    } else if (batch_ != nullptr) {
        bytes_ = reinterpret_cast<const std::uint8_t*>(
            arrow_weights(batch_->child_columns(child_, where_), size_, where_, converted_));
    }
}

// --- updates ----------------------------------------------------------------

namespace {

// What a column buffer of each kind of property may hold (texts never come
// in a buffer), as a list of formats; and item i of such a buffer, once
// checked, as the property's value.
constexpr std::string_view column_formats(node_property::Text) noexcept { return ""; }
constexpr std::string_view column_formats(node_property::Float) noexcept { return "fd"; }
constexpr std::string_view column_formats(node_property::Colour) noexcept { return "B"; }
constexpr std::string_view column_formats(node_property::Flag) noexcept { return "?"; }

// The formats as the errors name them: "fd" is "'f' or 'd'".
std::string formats_named(std::string_view formats) {
    std::string named;
    for (std::size_t i = 0; i < formats.size(); ++i) {
        if (i > 0) named += " or ";
        named += '\'';
        named += formats[i];
        named += '\'';
    }
    return named;
}

float column_buffer_value(node_property::Float, const ColumnBuffer& buffer, std::size_t i) {
    // The format is 'f' or 'd' (checked when the column was opened): the item
    // size tells them apart without comparing the format text per item.
    if (buffer.item_size() == sizeof(float)) {
        float value;
        std::memcpy(&value, buffer.data() + sizeof(float) * i, sizeof value);
        return as_converted_f32(value);
    }
    double value;
    std::memcpy(&value, buffer.data() + sizeof(double) * i, sizeof value);
    return static_cast<float>(value);
}
std::uint8_t column_buffer_value(node_property::Colour, const ColumnBuffer& buffer, std::size_t i) {
    return buffer.data()[i];
}
bool column_buffer_value(node_property::Flag, const ColumnBuffer& buffer, std::size_t i) {
    return buffer.data()[i] != 0;
}

// The read position of a dict of columns' key, or kKeys for "id"
// (ignored, as in a batch). Anything else is refused: a str with the text of
// a batch's unknown column, another type with TypeError.
std::size_t column_key(const DictEntry& entry, const std::string& where) {
    constexpr auto& names = UpdateColumns::kKeyNames;
    constexpr std::size_t count = UpdateColumns::kKeys;
    if (!entry.name) {
        std::string text = "a key of type '" + type_qualname(reinterpret_cast<PyTypeObject*>(entry.type.get())) +
                           "' is not a column name; the columns are 'id' (ignored)";
        for (std::size_t k = 0; k < count; ++k) text += std::string(k + 1 == count ? " and '" : ", '") + names[k] + "'";
        throw_argument_error(PyExc_TypeError, where, text);
    }
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(entry.name.get(), &size)) {
        const std::string_view name(text, static_cast<std::size_t>(size));
        for (std::size_t k = 0; k < count; ++k) {
            if (name == names[k]) return k;
        }
        if (name == "id") return count;
    } else if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        throw_pending_error();
    } else {
        PyErr_Clear();  // lone surrogates: no property's name
    }
    throw_unknown_update_column(where, object_text(entry.name.get()), names.data(), count);
}

}  // namespace

void UpdateColumns::open(PyObject* object, const char* name) {
    where_ = std::string("argument '") + name + "'";
    if (!type_has_flag(object, Py_TPFLAGS_DICT_SUBCLASS)) {
        if (arrow_.take(object, where_, ArrowInput::Shape::batch)) {
            open_batch_columns(arrow_);
            return;
        }
        if (!dicts_.take(object, false)) throw_wrong_kind(object, where_, kUpdatesAccepted);
        return;
    }
    columns_ = true;
    // Every key is a property's name or "id" (ignored), as a batch's column
    // names are: a misspelt key would lose its column without a word. The
    // keys are read from the dict's own storage (a subclass's methods are
    // not called) and compared as exact str, with none of the caller's
    // Python code run.
    std::array<OwnedRef, kKeys> values;
    for (DictEntry& entry : dict_entries(object, where_)) {
        const std::size_t k = column_key(entry, where_);
        if (k == kKeys) continue;  // "id"
        if (values[k]) throw_repeated_update_column(where_, kKeyNames[k]);
        values[k] = std::move(entry.value);
    }
    for_each_node_property_in_read_order([&](auto property) {
        using P = decltype(property);
        if (values[P::read_position]) open_column(P::read_position, values[P::read_position].get(), column_formats(typename P::Kind{}));
    });
}

void UpdateColumns::open_batch(const ArrowInput& batch) {
    where_ = batch.where();
    batch_ = &batch;
    open_batch_columns(batch);
}

void UpdateColumns::open_batch_columns(const ArrowInput& batch) {
    columns_ = true;
    open_arrow_update_columns(batch, kKeyNames.data(), kKeys, [&](std::size_t key, std::size_t child, auto where) {
        Column& column = columns_by_key_[key];
        column.present = column.from_arrow = true;
        column.where = std::move(where);
        column.child = child;
    });
}

void UpdateColumns::open_column(std::size_t key, PyObject* values, std::string_view formats) {
    Column& column = columns_by_key_[key];
    column.present = true;
    column.formats = formats;
    column.where = where_ + " column '" + kKeyNames[key] + "'";
    const std::string& where = column.where;
    const std::string accepted =
        std::string("column '") + kKeyNames[key] + "' is read from a sequence of values" +
        (formats.empty() ? std::string(" or an Arrow array")
                         : ", an Arrow array or a one-dimensional C-contiguous buffer of format " + formats_named(formats));
    if (column.sequence.take(values, true)) return;
    if (column.arrow_input.take(values, where, ArrowInput::Shape::column)) {
        column.from_arrow = true;
        return;
    }
    if (!formats.empty() &&
        column.buffer.open(values, [&](const BufferView& buffer) { check_column_buffer(buffer, where, formats, accepted); })) {
        return;
    }
    if (!column.sequence.take(values, false)) throw_wrong_kind(values, where, accepted);
}

void UpdateColumns::convert(std::size_t count) {
    updates_.resize(count);
    if (!columns_) {
        // The dict's texts are copied into the arena, not viewed as add_node
        // views them: a view would have to hold its str until the whole batch
        // is applied (the next dict's conversion may run Python code that
        // drops this one's strings). Holding them all and giving them back at
        // the end, long after they left the cache, measured no faster for
        // dicts and slower for columns than a copy.
        dicts_.for_each(where_, [&](PyObject* item, std::size_t i) {
            const NodeUpdateArgument argument = node_update_from_dict(item);
            NodeUpdateView& update = updates_[i];
            update = argument.view();
            for_each_node_property([&](auto property) {
                using P = decltype(property);
                if constexpr (std::is_same_v<typename P::Kind, node_property::Text>) {
                    if (auto& text = P::of(update)) text = texts_.copy(*text);
                }
            });
        });
        return;
    }
    // Node by node, each node's keys in the fixed order, as add_node reads
    // one dict: every update is built once, while it is in cache. Arrow and
    // buffer columns are read by pin(), after every Python-level conversion.
    bool sequences = false;
    for (const Column& column : columns_by_key_) {
        sequences = sequences || (column.present && !column.buffer.present() && !column.from_arrow);
    }
    if (!sequences) return;
    for (std::size_t i = 0; i < count; ++i) {
        NodeUpdateView& update = updates_[i];
        for_each_node_property_in_read_order([&](auto property) {
            using P = decltype(property);
            using Kind = typename P::Kind;
            const Column& column = columns_by_key_[P::read_position];
            if (!column.present || column.buffer.present() || column.from_arrow) return;
            column.sequence.convert_item(i, column.where, [&](PyObject* item, std::size_t) {
                if (item == Py_None) return;
                if constexpr (std::is_same_v<Kind, node_property::Text>) {
                    OwnedRef owner;
                    P::of(update) = texts_.copy(text_view(item, owner));
                } else {
                    P::of(update) = extract_property_value(Kind{}, item);
                }
            });
        });
    }
}

void UpdateColumns::retake() {
    if (!columns_) return;
    for_each_node_property_in_read_order([&](auto property) {
        using P = decltype(property);
        Column& column = columns_by_key_[P::read_position];
        if constexpr (!column_formats(typename P::Kind{}).empty()) {
            if (!column.present || !column.buffer.present()) return;
            column.buffer.pin(column.where, [&](const BufferView& buffer) {
                return has_format(buffer, column.formats) && is_column_layout(buffer);
            });
        }
    });
}

void UpdateColumns::pin() {
    if (!columns_) return;
    pin_arrow();
    bool any = false;
    for (const Column& column : columns_by_key_) any = any || (column.present && column.buffer.present());
    if (!any) return;
    // Node by node again, each update filled while it is in cache.
    for (std::size_t i = 0; i < updates_.size(); ++i) {
        NodeUpdateView& update = updates_[i];
        for_each_node_property_in_read_order([&](auto property) {
            using P = decltype(property);
            using Kind = typename P::Kind;
            if constexpr (!column_formats(Kind{}).empty()) {
                const Column& column = columns_by_key_[P::read_position];
                if (column.present && column.buffer.present()) P::of(update) = column_buffer_value(Kind{}, column.buffer, i);
            }
        });
    }
}

void UpdateColumns::pin_arrow() {
    bool arrow = false;
    const ArrowInput* batch = batch_;
    if (arrow_.held()) {
        arrow_.pin();
        batch = &arrow_;
    }
    for (Column& column : columns_by_key_) {
        if (!column.from_arrow) continue;
        arrow = true;
        if (batch != nullptr) {
            column.arrow = batch->child_columns(column.child, column.where);
        } else {
            column.arrow_input.pin();
            column.arrow = column.arrow_input.columns();
        }
    }
    // Arrow columns are read a block of nodes at a time, every column's part
    // of a block before the next block, so that the block's updates stay in
    // cache while each column fills them; a column at a time would stream
    // the whole list through memory once per column. A text views the
    // producer's buffer, checked just now: nothing runs that could change it
    // before the batch is applied.
    constexpr std::size_t kBlock = 1024;
    const std::size_t count = updates_.size();
    for (std::size_t begin = 0; arrow && begin < count; begin += kBlock) {
        const std::size_t end = std::min(count, begin + kBlock);
        for_each_node_property_in_read_order([&](auto property) {
            const Column& column = columns_by_key_[decltype(property)::read_position];
            if (column.from_arrow) read_arrow_property<decltype(property)>(column.arrow, column.where, updates_, begin, end);
        });
    }
}

void TextArena::grow(std::size_t bytes) {
    // Blocks of 64 KiB and up, so that a batch of short texts makes few of
    // them and a long text takes one of its own.
    const std::size_t size = std::max<std::size_t>(bytes, std::size_t{64} << 10);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    next_ = blocks_.back().get();
    room_ = size;
}

// The entries of a dict, in its order, read from its own storage (a
// subclass's methods are not called) with no Python code of the caller's run.
// CPython hands out its keys as they are. PyPy's C view of a str subclass is
// sized by its own __len__, and PyDict_Next ends the process when that view
// cannot be made; so there the keys never reach C: their types and exact
// copies are made at the Python level (map(type, keys), and str.__getitem__
// with slice(None) for the str keys before the first key of another type).
std::vector<DictEntry> dict_entries(PyObject* dict, const std::string& where) {
    std::vector<DictEntry> entries;
    if constexpr (dict_keys_reach_c_as_they_are) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            const bool text = type_has_flag(key, Py_TPFLAGS_UNICODE_SUBCLASS);
            entries.push_back({OwnedRef::owning(reinterpret_cast<PyObject*>(Py_TYPE(key))),
                               text ? OwnedRef::owning(key) : OwnedRef(), OwnedRef::owning(key),
                               OwnedRef::owning(value)});
        }
        return entries;
    }
    const OwnedRef keys = require_new(PyDict_Keys(dict));
    const OwnedRef values = require_new(PyDict_Values(dict));
    const OwnedRef builtins = require_new(PyImport_ImportModule("builtins"));
    const OwnedRef map = require_new(PyObject_GetAttrString(builtins.get(), "map"));
    const OwnedRef types = require_new(PySequence_List(
        require_new(PyObject_CallFunctionObjArgs(map.get(), &PyType_Type, keys.get(), nullptr)).get()));
    const Py_ssize_t count = PyList_GET_SIZE(types.get());
    Py_ssize_t texts = 0;
    while (texts < count && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(PyList_GET_ITEM(types.get(), texts)),
                                             &PyUnicode_Type)) {
        ++texts;
    }
    const OwnedRef text_keys = require_new(PyList_GetSlice(keys.get(), 0, texts));
    const OwnedRef everything = require_new(PySlice_New(nullptr, nullptr, nullptr));
    const OwnedRef slices = require_new(PyList_New(texts));
    for (Py_ssize_t i = 0; i < texts; ++i) PyList_SET_ITEM(slices.get(), i, OwnedRef::owning(everything.get()).release());
    const OwnedRef copy = require_new(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "__getitem__"));
    const OwnedRef names = require_new(PySequence_List(
        require_new(PyObject_CallFunctionObjArgs(map.get(), copy.get(), text_keys.get(), slices.get(), nullptr)).get()));
    if (PyList_GET_SIZE(values.get()) != count || PyList_GET_SIZE(names.get()) != texts) {
        throw_argument_error(PyExc_RuntimeError, where, "the dict changed size while its keys were read");
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        // One value at a time: a value whose C view cannot be made fails
        // here alone, where PySequence_Fast_GET_ITEM would have the layer
        // build (and half build) the views of the whole list.
        OwnedRef value = require_new(PySequence_GetItem(values.get(), i));
        OwnedRef name = i < texts ? OwnedRef::owning(PyList_GET_ITEM(names.get(), i)) : OwnedRef();
        // A key after the str ones is needed only to name it in an error,
        // and the reader stops at the first of them: only it is read.
        OwnedRef key = i < texts ? OwnedRef::owning(name.get())
                       : i == texts ? require_new(PySequence_GetItem(keys.get(), i))
                                    : OwnedRef();
        entries.push_back({OwnedRef::owning(PyList_GET_ITEM(types.get(), i)), std::move(name), std::move(key),
                           std::move(value)});
    }
    return entries;
}

// --- shared errors ------------------------------------------------------------

void throw_buffer_changed(const std::string& where, bool with_cause) {
    const std::string text = where + ": the buffer changed while the other arguments were converted";
    if (with_cause) throw_with_cause(PyExc_RuntimeError, text);
    throw_error(PyExc_RuntimeError, text);
}

void throw_length_mismatch(const char* method, const std::vector<std::pair<std::string, std::size_t>>& parts) {
    std::string message = std::string(method) + " got arguments of different lengths: ";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) message += ", ";
        message += parts[i].first + " has " + std::to_string(parts[i].second) + " items";
    }
    throw_error(PyExc_ValueError, message);
}

void throw_batch_out_of_memory(const char* method, std::size_t done, std::size_t count) {
    throw_error(PyExc_MemoryError, std::string(method) + " ran out of memory after " + std::to_string(done) + " of " +
                                       std::to_string(count) + " items; the diff holds the effect of the first " +
                                       std::to_string(done));
}

}  // namespace tarnu::py
