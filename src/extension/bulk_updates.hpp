#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_arguments.hpp"
#include "bulk_arguments.hpp"
#include "node_update/node_update.hpp"
#include "python.hpp"

namespace tarnu::py {

// The node updates of a bulk argument (add_nodes' updates, a snapshot's
// property columns): a list of update dicts, a dict of columns (a sequence,
// buffer or Arrow array per property), or an Arrow table or batch with a
// column per property. Read in the steps of bulk_arguments.hpp.

// Texts copied out of Python objects for one batch. Each stays where it was
// put until the arena goes, so the batch's updates can view them: a text is
// copied once here and once into the record, with no heap block of its own.
class TextArena {
public:
    std::string_view copy(std::string_view text) {
        if (text.empty()) return std::string_view{""};  // empty, yet pointing somewhere
        if (text.size() > room_) grow(text.size());
        char* at = next_;
        std::memcpy(at, text.data(), text.size());
        next_ += text.size();
        room_ -= text.size();
        return std::string_view(at, text.size());
    }

private:
    // A new block of at least `bytes`; the rest of the current one is left.
    void grow(std::size_t bytes);
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t room_ = 0;
};

// Updates: a sequence of update dicts, Arrow input with a column per
// property (a table, record batch or data frame; a null is absent), or a
// dict of columns, key -> a sequence of values (None: absent for that node),
// an Arrow array or, for the numeric keys, a 1-D buffer ('f'/'d' for size,
// 'B' for the colours, '?' for show_label).
class UpdateColumns {
public:
    // A column per node property, numbered by the place where add_node reads
    // its key from the dict.
    static constexpr std::size_t kKeys = kNodePropertyCount;
    static constexpr std::array<const char*, kKeys> kKeyNames = [] {
        std::array<const char*, kKeys> names{};
        for_each_node_property([&](auto property) { names[property.read_position] = property.dict_key; });
        return names;
    }();

    void open(PyObject* object, const char* name);
    // The property columns of a batch whose owner pins it before this is
    // pinned, and keeps it until this goes; its "id" is skipped, any other
    // column refused as open() refuses it.
    void open_batch(const ArrowInput& batch);
    // Calls report(label, length) for the argument's length, or for each
    // column's; a length-mismatch message lists them.
    template <class Report>
    void lengths(Report&& report) const;
    // Sizes the updates for `count` ids where Python-level conversions fill
    // them; otherwise pin() does, after the ids are pinned (and refused).
    void convert(std::size_t count);
    void retake();
    void pin();
    // Item i's update. Its texts view the Arrow buffers or this argument's
    // own copies, and are valid until it goes.
    const NodeUpdateView& update(std::size_t i) const noexcept { return updates_[i]; }

private:
    struct Column {
        bool present = false;
        std::string where;  // "argument 'updates' column '{key}'"
        std::string_view formats;
        ColumnBuffer buffer;
        ItemSequence sequence;
        ArrowInput arrow_input;              // an Arrow array in the dict
        std::size_t child = 0;               // or the batch's column `child`
        std::vector<ArrowColumn> arrow;      // its chunks, once pinned
        bool from_arrow = false;
    };
    // Column `key` (its read position), whose buffers may hold `formats`.
    void open_column(std::size_t key, PyObject* values, std::string_view formats);
    // Checks the Arrow columns and reads them into the updates.
    void pin_arrow();
    void open_batch_columns(const ArrowInput& batch);

    std::string where_;
    bool columns_ = false;
    ArrowInput arrow_;                   // the whole argument, as a batch
    const ArrowInput* batch_ = nullptr;  // or open_batch's
    ItemSequence dicts_;
    std::array<Column, kKeys> columns_by_key_;
    TextArena texts_;  // the texts read from Python objects
    std::size_t count_ = 0;
    std::vector<NodeUpdateView> updates_;
};

template <class Report>
void UpdateColumns::lengths(Report&& report) const {
    if (arrow_.held() || batch_ != nullptr) {
        report(std::string("'updates'"), batch_ != nullptr ? batch_->size() : arrow_.size());
        return;
    }
    if (!columns_) {
        report(std::string("'updates'"), dicts_.size());
        return;
    }
    for (std::size_t k = 0; k < kKeys; ++k) {
        const Column& c = columns_by_key_[k];
        if (!c.present) continue;
        const std::size_t n = c.arrow_input.held() ? c.arrow_input.size()
                              : c.buffer.present()   ? c.buffer.items()
                                                     : c.sequence.size();
        report("'updates' column '" + std::string(kKeyNames[k]) + "'", n);
    }
}

}  // namespace tarnu::py
