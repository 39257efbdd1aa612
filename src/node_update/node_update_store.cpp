#include "node_update/node_update_store.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "node_update/node_update_json.hpp"

namespace tarnu {

namespace {

constexpr std::size_t kFirstTextCapacity = 1024;
// Removals compact a buffer of at least this much once half of it is dead.
constexpr std::size_t kReleaseAbove = 64 * 1024;

// Grows v geometrically so that one more push_back cannot allocate.
template <class V>
void reserve_one(std::vector<V>& v) {
    if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(4, v.size() * 2));
}

}  // namespace

NodeUpdateStore::Prepared NodeUpdateStore::prepare(const NodeId& id, const NodeUpdateView& update) {
    Prepared p;
    p.size_text_length =
        update.size ? static_cast<std::uint8_t>(write_size_text(p.size_text, *update.size)) : std::uint8_t{0};
    // Every length of the record is bounded by the JSON text's.
    const std::uint64_t json_length = node_update_json_length(update, p.size_text_length);
    if (json_length > 0xFFFFFFFFU) throw std::bad_alloc();
    Record& r = p.record;
    r = Record{};
    r.id = id;
    r.json_length = static_cast<std::uint32_t>(json_length);
    p.text_length = update.size ? 1U + p.size_text_length : 0U;
    for_each_node_property([&](auto property) {
        using P = decltype(property);
        using Kind = typename P::Kind;
        const auto& value = P::of(update);
        if (!value) return;
        r.presence |= kPresent<P>;
        if constexpr (std::is_same_v<Kind, node_property::Text>) {
            r.text_lengths[P::slot] = static_cast<std::uint32_t>(value->size());
            p.text_length += value->size();
        }
        if constexpr (std::is_same_v<Kind, node_property::Float>) r.floats[P::slot] = *value;
        if constexpr (std::is_same_v<Kind, node_property::Colour>) r.colours[P::slot] = *value;
        if constexpr (std::is_same_v<Kind, node_property::Flag>) r.presence |= *value ? kFlagTrue<P> : Presence{0};
    });
    return p;
}

std::size_t NodeUpdateStore::texts_length(const Record& r) noexcept {
    std::size_t length = 0;
    for (const std::uint32_t text : r.text_lengths) length += text;
    return length;
}

std::size_t NodeUpdateStore::text_length(const Record& r) const noexcept {
    const std::size_t texts = texts_length(r);
    if (!(r.presence & kPresent<node_property::size>)) return texts;
    return texts + 1 + static_cast<unsigned char>(text_[text_offset(r) + texts]);
}

std::string_view NodeUpdateStore::size_text(std::size_t pos) const noexcept {
    const Record& r = records_[pos];
    if (!(r.presence & kPresent<node_property::size>)) return {};
    const char* const at = text_.get() + text_offset(r) + texts_length(r);
    return std::string_view(at + 1, static_cast<unsigned char>(*at));
}

bool NodeUpdateStore::aliases(const NodeUpdateView& update) const noexcept {
    const auto inside = [this](const std::optional<std::string_view>& text) {
        if (!text || text->empty() || !text_) return false;
        const auto address = reinterpret_cast<std::uintptr_t>(text->data());
        const auto start = reinterpret_cast<std::uintptr_t>(text_.get());
        return address >= start && address < start + text_capacity_;
    };
    bool any = false;
    for_each_node_property([&](auto property) {
        if constexpr (std::is_same_v<typename decltype(property)::Kind, node_property::Text>)
            any = any || inside(property.of(update));
    });
    return any;
}

void NodeUpdateStore::push_back(const NodeId& id, const NodeUpdateView& update) {
    if (aliases(update)) [[unlikely]] {
        push_back(id, NodeUpdateView(NodeUpdate(update)));
        return;
    }
    Prepared p = prepare(id, update);
    reserve_one(records_);
    const std::uint64_t offset = room_for(p.text_length);
    // Nothing below allocates.
    put_texts(p, offset, update);
    records_.push_back(p.record);
    json_bytes_ += p.record.json_length;
}

void NodeUpdateStore::assign(std::size_t pos, const NodeUpdateView& update) {
    if (aliases(update)) [[unlikely]] {
        assign(pos, NodeUpdateView(NodeUpdate(update)));
        return;
    }
    Prepared p = prepare(records_[pos].id, update);
    const std::size_t old_length = text_length(records_[pos]);
    // New texts that fit where the old ones were go there.
    const bool reuse = p.text_length <= old_length;
    const std::uint64_t offset = reuse ? text_offset(records_[pos]) : room_for(p.text_length);
    // Nothing below allocates.
    Record& old = records_[pos];
    text_dead_ += reuse ? old_length - p.text_length : old_length;
    json_bytes_ -= old.json_length;
    put_texts(p, offset, update);
    old = p.record;
    json_bytes_ += old.json_length;
    release_dead();
}

void NodeUpdateStore::remove(std::size_t pos) noexcept {
    text_dead_ += text_length(records_[pos]);
    json_bytes_ -= records_[pos].json_length;
    records_[pos] = records_.back();
    records_.pop_back();
    release_dead();
}

void NodeUpdateStore::put_texts(Prepared& p, std::uint64_t offset, const NodeUpdateView& update) noexcept {
    Record& record = p.record;
    set_text_offset(record, offset);
    char* out = text_.get() + offset;
    for_each_node_property([&](auto property) {
        using P = decltype(property);
        if constexpr (std::is_same_v<typename P::Kind, node_property::Text>) {
            const std::uint32_t length = record.text_lengths[P::slot];
            if (length != 0) std::memcpy(out, P::of(update)->data(), length);
            out += length;
        }
    });
    if (record.presence & kPresent<node_property::size>) {
        *out = static_cast<char>(p.size_text_length);
        std::memcpy(out + 1, p.size_text, p.size_text_length);
    }
    if (offset == text_used_) text_used_ += p.text_length;
}

std::unique_ptr<char[]> NodeUpdateStore::allocate_text(std::size_t bytes) {
    if (std::exchange(test_support::fail_next_text_allocation, false)) throw std::bad_alloc();
    // Padded, so that a size text at the very end can be read as a fixed-size block.
    return std::make_unique_for_overwrite<char[]>(bytes + kFloatTextCapacity);
}

std::uint64_t NodeUpdateStore::room_for(std::size_t bytes) {
    if (bytes == 0) return text_used_;
    if (text_capacity_ - text_used_ >= bytes) return text_used_;
    // Offsets have 40 bits. Counted without what a compaction might free:
    // a refusal this close to 1 TiB need not be exact.
    if (bytes > kTextLimit - text_used_) throw std::bad_alloc();
    if (text_dead_ != 0 && text_dead_ >= text_used_ / 4) {
        const std::size_t live = text_used_ - text_dead_;
        if (live + bytes <= text_capacity_) {
            compact_in_place();
        } else {
            compact(std::max(kFirstTextCapacity, (live + bytes) + (live + bytes) / 2));
        }
        return text_used_;
    }
    const std::size_t capacity = std::max({kFirstTextCapacity, text_capacity_ * 2, text_used_ + bytes});
    std::unique_ptr<char[]> grown = allocate_text(capacity);
    if (text_used_ != 0) std::memcpy(grown.get(), text_.get(), text_used_);
    text_ = std::move(grown);
    text_capacity_ = capacity;
    return text_used_;
}

void NodeUpdateStore::compact(std::size_t capacity) {
    // The live texts, in record order, into a new buffer.
    std::unique_ptr<char[]> fresh = allocate_text(capacity);
    std::size_t at = 0;
    for (Record& r : records_) {
        const std::size_t length = text_length(r);
        if (length != 0) std::memcpy(fresh.get() + at, text_.get() + text_offset(r), length);
        set_text_offset(r, at);
        at += length;
    }
    text_ = std::move(fresh);
    text_capacity_ = capacity;
    text_used_ = at;
    text_dead_ = 0;
}

void NodeUpdateStore::compact_in_place() {
    // The texts, taken in the order they lie in the buffer, each moved down
    // to the end of the ones before it: no text moves up, so none is
    // overwritten before it has moved.
    if (std::exchange(test_support::fail_next_text_allocation, false)) throw std::bad_alloc();
    std::vector<std::uint32_t> order(records_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [this](std::uint32_t a, std::uint32_t b) {
        return text_offset(records_[a]) < text_offset(records_[b]);
    });
    // Nothing below allocates.
    std::size_t at = 0;
    for (const std::uint32_t i : order) {
        Record& r = records_[i];
        const std::size_t length = text_length(r);
        const std::uint64_t from = text_offset(r);
        if (length != 0 && from != at) std::memmove(text_.get() + at, text_.get() + from, length);
        set_text_offset(r, at);
        at += length;
    }
    text_used_ = at;
    text_dead_ = 0;
}

void NodeUpdateStore::release_dead() noexcept {
    if (records_.empty()) {
        text_used_ = text_dead_ = 0;  // the buffer is kept for the next texts
        return;
    }
    if (text_used_ < kReleaseAbove || text_dead_ < text_used_ / 2) return;
    try {
        const std::size_t live = text_used_ - text_dead_;
        compact(live + live / 2);
    } catch (const std::bad_alloc&) {
        // Nothing is lost: the dead bytes wait for the next compaction.
    }
}

NodeUpdateStore NodeUpdateStore::clone() const {
    NodeUpdateStore copy;
    copy.records_ = records_;
    if (text_) {
        copy.text_ = allocate_text(text_capacity_);
        std::memcpy(copy.text_.get(), text_.get(), text_used_);
    }
    copy.text_capacity_ = text_capacity_;
    copy.text_used_ = text_used_;
    copy.text_dead_ = text_dead_;
    copy.json_bytes_ = json_bytes_;
    return copy;
}

void NodeUpdateStore::swap(NodeUpdateStore& other) noexcept {
    records_.swap(other.records_);
    text_.swap(other.text_);
    std::swap(text_capacity_, other.text_capacity_);
    std::swap(text_used_, other.text_used_);
    std::swap(text_dead_, other.text_dead_);
    std::swap(json_bytes_, other.json_bytes_);
}

}  // namespace tarnu
