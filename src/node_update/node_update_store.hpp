#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#include "basics/node_id.hpp"
#include "basics/prefetch.hpp"
#include "node_update/float_text.hpp"
#include "node_update/node_update.hpp"

namespace tarnu {

namespace test_support {
// When set, the next allocation of node text storage fails with
// std::bad_alloc (and the flag is cleared): lets the tests see growth and
// compaction fail at a chosen moment. Never set outside tests.
inline bool fail_next_text_allocation = false;
}  // namespace test_support

// The node updates of one diff in compact form: a dense list of fixed-size
// records and one text buffer that the store owns.
//
// A record is laid out from the table of properties (TARNU_NODE_PROPERTIES),
// 44 bytes for its seven: its node id, presence bits (one per property, then
// the value of each flag), the floats and colours packed, the texts' lengths,
// the 40-bit offset of its texts in the buffer (32 bits and a high byte that
// fills what would be padding), and the exact length of its JSON text. No
// text has a heap block of its own, and the record holds no std::string or
// std::optional. The id is in the record, not an index into the diff's id
// pool, so that a node that only carries an update takes no room there. In the buffer a record's bytes are
// its texts in the table's order (label, url), and, when it has a size, the
// size's JSON text after a byte holding that text's length: the float is
// formatted once, when the update is stored, and encoding copies it.
//
// Texts are appended to the buffer. A replaced or removed update leaves its
// bytes behind as dead bytes (a replacement that fits in the old texts' place
// reuses it). When the buffer has no room for new texts and at least a
// quarter of what it holds is dead, it is compacted: in place when the live
// texts and the new ones fit, otherwise by copying the live texts, in record
// order, into a new buffer half again as large as they and the new texts
// need. Without that many dead bytes it grows to twice its size. Removals (and
// replacements that reuse the old place) compact a buffer of 64 KiB or more
// once half of it is dead, when memory allows. A store whose updates are
// replaced over and over therefore keeps one buffer of about 1.5x its live
// texts, compacted in place.
//
// The store keeps the total length of its updates' JSON texts, so the size of
// an encoding is known without rendering anything.
//
// Running out of memory: push_back and assign throw std::bad_alloc and leave
// the store as it was (a compaction that went through before the failure
// changes offsets only, never content). An update whose JSON text would reach
// 4 GiB is refused the same way: its lengths do not fit the record; so is text
// that would take the buffer past 1 TiB (2^40 bytes), which offsets cannot
// reach.
class NodeUpdateStore {
public:
    // What push_back and assign take and view hands out.
    using View = NodeUpdateView;

    NodeUpdateStore() = default;
    NodeUpdateStore(const NodeUpdateStore&) = delete;
    NodeUpdateStore& operator=(const NodeUpdateStore&) = delete;
    // A moved-from store is empty.
    NodeUpdateStore(NodeUpdateStore&& other) noexcept { swap(other); }
    NodeUpdateStore& operator=(NodeUpdateStore&& other) noexcept {
        NodeUpdateStore(std::move(other)).swap(*this);
        return *this;
    }

    std::size_t size() const noexcept { return records_.size(); }
    bool empty() const noexcept { return records_.empty(); }

    // The node id of the update at `pos`.
    const NodeId& id(std::size_t pos) const noexcept { return records_[pos].id; }
    // Asks for the record at `pos`, for a lookup a little ahead of its use.
    [[gnu::always_inline]] void prefetch(std::size_t pos) const noexcept { detail::prefetch(&records_[pos]); }
    // The update at `pos`, its texts viewing the buffer: valid until the
    // store next changes. Inline: the encoder calls it per update.
    NodeUpdateView view(std::size_t pos) const noexcept;
    // The JSON text of the size of the update at `pos` (a number, or null),
    // made when the update was stored; empty when it has no size.
    std::string_view size_text(std::size_t pos) const noexcept;
    // Exact length of the JSON text of the update at `pos`.
    std::size_t json_length(std::size_t pos) const noexcept { return records_[pos].json_length; }
    // Sum of json_length over all updates.
    std::uint64_t json_bytes() const noexcept { return json_bytes_; }

    // Appends `update` (its texts copied) for node `id`.
    void push_back(const NodeId& id, const NodeUpdateView& update);
    // Replaces the update at `pos` by `update`, for the same id.
    void assign(std::size_t pos, const NodeUpdateView& update);
    // Removes the update at `pos`; the last one moves into its place.
    void remove(std::size_t pos) noexcept;

    // Room for `count` records in all.
    void reserve(std::size_t count) { records_.reserve(count); }

    // An independent store with the same records and texts at the same
    // offsets. Throws std::bad_alloc.
    NodeUpdateStore clone() const;

    // Frees everything: records and texts.
    void clear() noexcept { NodeUpdateStore().swap(*this); }

    // Bytes of the record list and the text buffer, free room (and the
    // buffer's padding) included.
    std::size_t memory_bytes() const noexcept {
        return records_.capacity() * sizeof(Record) + (text_ ? text_capacity_ + kFloatTextCapacity : 0);
    }
    // Text bytes held, live and dead, and the buffer's size (for the tests).
    std::size_t text_bytes() const noexcept { return text_used_; }
    std::size_t dead_text_bytes() const noexcept { return text_dead_; }
    std::size_t text_capacity() const noexcept { return text_capacity_; }

    void swap(NodeUpdateStore& other) noexcept;

private:
    template <class Kind>
    static constexpr std::size_t kCountOf = node_property::count_of(Kind::id);
    // Bit P::index: property P is present; bit kNodePropertyCount + slot:
    // the value of that flag when present.
    static constexpr std::size_t kPresenceBits = kNodePropertyCount + kCountOf<node_property::Flag>;
    using Presence = std::conditional_t<kPresenceBits <= 8, std::uint8_t,
                                        std::conditional_t<kPresenceBits <= 16, std::uint16_t, std::uint32_t>>;
    template <class P>
    static constexpr Presence kPresent = Presence{1} << P::index;
    template <class P>
    static constexpr Presence kFlagTrue = Presence{1} << (kNodePropertyCount + P::slot);

    struct Record {
        NodeId id;
        // Offset of the first text's bytes, the others following: the low
        // 32 bits here, the high 8 in text_high.
        std::uint32_t text;
        std::array<std::uint32_t, kCountOf<node_property::Text>> text_lengths;
        std::uint32_t json_length;
        std::array<float, kCountOf<node_property::Float>> floats;
        Presence presence;
        std::array<std::uint8_t, kCountOf<node_property::Colour>> colours;
        std::uint8_t text_high;
    };
    // No larger than its fields need, rounded up to 4 bytes.
    static_assert(sizeof(Record) == (sizeof(NodeId) + sizeof(Record::text_lengths) + 2 * sizeof(std::uint32_t) +
                                     sizeof(Record::floats) + sizeof(Presence) + sizeof(Record::colours) + 1 + 3) /
                                        4 * 4);
    // Text offsets stop below this (40 bits).
    static constexpr std::uint64_t kTextLimit = std::uint64_t{1} << 40;
    static std::uint64_t text_offset(const Record& r) noexcept {
        return r.text | (std::uint64_t{r.text_high} << 32);
    }
    static void set_text_offset(Record& r, std::uint64_t offset) noexcept {
        r.text = static_cast<std::uint32_t>(offset);
        r.text_high = static_cast<std::uint8_t>(offset >> 32);
    }

    // A record about to be stored, with what goes into the buffer besides
    // the texts.
    struct Prepared {
        Record record;              // all but its text offset
        std::size_t text_length;    // bytes it takes in the buffer
        std::uint8_t size_text_length;
        char size_text[kFloatTextCapacity];
    };
    // Throws std::bad_alloc when the update's lengths do not fit a record.
    static Prepared prepare(const NodeId& id, const NodeUpdateView& update);
    // Bytes a stored record takes in the buffer, and of those its texts'.
    std::size_t text_length(const Record& r) const noexcept;
    static std::size_t texts_length(const Record& r) noexcept;
    // True when a text of `update` lies in this store's buffer.
    bool aliases(const NodeUpdateView& update) const noexcept;
    // Offset at which `bytes` more text bytes fit, growing or compacting the
    // buffer first when needed. Throws std::bad_alloc with nothing changed.
    std::uint64_t room_for(std::size_t bytes);
    static std::unique_ptr<char[]> allocate_text(std::size_t bytes);
    // Copies the live texts into a new buffer of `capacity` bytes. Throws
    // std::bad_alloc with nothing changed.
    void compact(std::size_t capacity);
    // The same within the buffer, which keeps its size: only a list of the
    // records in text order is allocated. Throws std::bad_alloc with nothing
    // changed.
    void compact_in_place();
    // After texts died without new ones taking their room: compacts a large
    // buffer that is half dead, if memory allows.
    void release_dead() noexcept;
    void put_texts(Prepared& p, std::uint64_t offset, const NodeUpdateView& update) noexcept;

    std::vector<Record> records_;
    std::unique_ptr<char[]> text_;
    std::size_t text_capacity_ = 0;
    std::size_t text_used_ = 0;  // bytes from the start that hold texts, live or dead
    std::size_t text_dead_ = 0;  // of those, bytes no record refers to
    std::uint64_t json_bytes_ = 0;
};

inline NodeUpdateView NodeUpdateStore::view(std::size_t pos) const noexcept {
    const Record& r = records_[pos];
    NodeUpdateView update;
    const char* text = text_.get() + text_offset(r);
    for_each_node_property([&](auto property) {
        using P = decltype(property);
        using Kind = typename P::Kind;
        if constexpr (std::is_same_v<Kind, node_property::Text>) {
            // Every text takes its place, present or not (an absent one is empty).
            if (r.presence & kPresent<P>) P::of(update) = std::string_view(text, r.text_lengths[P::slot]);
            text += r.text_lengths[P::slot];
        } else if (r.presence & kPresent<P>) {
            if constexpr (std::is_same_v<Kind, node_property::Float>) P::of(update) = r.floats[P::slot];
            if constexpr (std::is_same_v<Kind, node_property::Colour>) P::of(update) = r.colours[P::slot];
            if constexpr (std::is_same_v<Kind, node_property::Flag>) P::of(update) = (r.presence & kFlagTrue<P>) != 0;
        }
    });
    return update;
}

}  // namespace tarnu
