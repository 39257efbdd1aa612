#include "bulk_updates.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "conversions.hpp"
#include "errors.hpp"
#include "host_compat.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

constexpr std::string_view kUpdatesAccepted =
    "updates are read from a sequence of update dicts, from a dict of columns, or from an Arrow table, record "
    "batch or data frame with a column per property";

constexpr std::string_view kStrColumn =
    "a str is one value, not a column of them; for one text on every node pass [text] * len(ids)";

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

// The names a dict of columns' keys may have: the properties by read
// position, then "id" (ignored, as in a batch).
constexpr auto kColumnKeys = [] {
    std::array<const char*, UpdateColumns::kKeys + 1> names{};
    for (std::size_t k = 0; k < UpdateColumns::kKeys; ++k) names[k] = UpdateColumns::kKeyNames[k];
    names[UpdateColumns::kKeys] = "id";
    return names;
}();

// The read position of a dict of columns' key, or kKeys for "id". Anything
// else is refused: a str with the text of a batch's unknown column, another
// type with TypeError.
std::size_t column_key(const DictEntry& entry, const std::string& where) {
    constexpr auto& names = UpdateColumns::kKeyNames;
    constexpr std::size_t count = UpdateColumns::kKeys;
    if (!entry.name) {
        std::string text = "a key of type '" + type_qualname(reinterpret_cast<PyTypeObject*>(entry.type.get())) +
                           "' is not a column name; the columns are 'id' (ignored)";
        for (std::size_t k = 0; k < count; ++k) text += std::string(k + 1 == count ? " and '" : ", '") + names[k] + "'";
        throw_argument_error(PyExc_TypeError, where, text);
    }
    const std::size_t k = dict_key_index(entry, kColumnKeys.data(), kColumnKeys.size());
    if (k == kColumnKeys.size()) throw_unknown_update_column(where, object_text(entry.name.get()), names.data(), count);
    return k;
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
    // A str is a sequence of its characters: one text meant for every node
    // would give each node a character of it.
    if (PyUnicode_Check(values)) throw_argument_error(PyExc_TypeError, where, kStrColumn);
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
    count_ = count;
    if (!columns_) {
        updates_.resize(count);
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
    // Columns read by pin() alone are sized there, once the ids are read:
    // a null-typed Arrow id column costs its producer nothing at any length,
    // and is refused before an update is sized for each of its items.
    if (!sequences) return;
    updates_.resize(count);
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
    updates_.resize(count_);
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

}  // namespace tarnu::py
