#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "diff/inner_table.hpp"
#include "basics/node_id.hpp"
#include "basics/prefetch.hpp"
#include "node_update/node_update_store.hpp"

namespace tarnu::detail {

// The node updates of a diff, keyed by node id, apart from the id pool: a
// node that only carries an update costs its record in the store (which
// holds the id itself) and one slot here, not a 64-byte cell, a slot and a
// flat id in the pool, which exist for the ids that edges and deletions name.
//
// The index is an open-addressing table of 8-byte slots (record position,
// low 32 bits of the hash), linear probing, at most 3/4 full, power-of-two
// size, as the pool's: the stored hash bits let a probe pass other ids
// without reading their records, and let the table grow without hashing an
// id again. A removal moves the store's last record into the hole (the
// store's order is the encoding order, and stays what it was when the pool
// held the positions), repoints that record's slot, and closes the removed
// slot by shifting the run after it back, so no tombstones accumulate.
class NodeTable {
    struct Slot {
        std::uint32_t pos;
        std::uint32_t hash;
    };
    static constexpr std::uint32_t kFirstSlots = 16;
    // clear() gives back a slot array this many times larger than the
    // updates it held need, and never the room of this many.
    static constexpr std::size_t kKeptFactor = 4;
    static constexpr std::size_t kAlwaysKept = 4096;

public:
    using Store = NodeUpdateStore;

    NodeTable() = default;
    NodeTable(const NodeTable&) = delete;
    NodeTable& operator=(const NodeTable&) = delete;
    // A moved-from table is empty.
    NodeTable(NodeTable&& other) noexcept : store_(std::move(other.store_)), slots_(std::move(other.slots_)) {
        other.slots_.clear();
    }
    NodeTable& operator=(NodeTable&& other) noexcept {
        store_ = std::move(other.store_);
        slots_ = std::move(other.slots_);
        other.slots_.clear();
        return *this;
    }

    const Store& store() const noexcept { return store_; }
    std::size_t size() const noexcept { return store_.size(); }

    // Position of id's update, or kNoIndex. hash is hash_id(id).
    std::uint32_t find(const NodeId& id, std::uint64_t hash) const noexcept {
        return probe(hash, [&](std::uint32_t pos) { return store_.id(pos) == id; });
    }

    // The read-ahead of the batches, as the pool's: the slot where a probe
    // for `hash` starts; then the first position whose hash bits match, its
    // record asked for (kNoIndex when a free slot comes first); then,
    // when the item is applied, confirm() checks the candidate against its
    // record, in cache by then, and falls back to find() when it is stale
    // (an item in between moved or added records) or another id's.
    [[gnu::always_inline]] void prefetch_slot(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) detail::prefetch(&slots_[static_cast<std::uint32_t>(hash) & mask()]);
    }
    [[gnu::always_inline]] std::uint32_t candidate(std::uint64_t hash) const noexcept {
        const std::uint32_t pos = probe(hash, [](std::uint32_t) { return true; });
        if (pos != kNoIndex) store_.prefetch(pos);
        return pos;
    }
    std::uint32_t confirm(std::uint32_t candidate, const NodeId& id, std::uint64_t hash) const noexcept {
        if (candidate < store_.size() && store_.id(candidate) == id) return candidate;
        return find(id, hash);
    }

    // Records update for id, whose update is at `pos` (find's answer;
    // kNoIndex: it has none, and the update is appended). Out of memory:
    // std::bad_alloc, no update changed (the slot array may have grown).
    // Always inlined: the link-time inliner's budget is shared by the whole
    // module, and code moved between the extension's files once left this
    // out of add_nodes' loop, at some 22 instructions a node more.
    [[gnu::always_inline]] void set(std::uint32_t pos, const NodeId& id, std::uint64_t hash,
                                    const NodeUpdateView& update) {
        if (pos != kNoIndex) {
            store_.assign(pos, update);
            return;
        }
        if (store_.size() >= kNoIndex - 1) throw std::bad_alloc();
        if (store_.size() + 1 > slots_.size() / 4 * 3) rehash(slots_.empty() ? kFirstSlots : slots_.size() * 2);
        store_.push_back(id, update);
        place(Slot{static_cast<std::uint32_t>(store_.size() - 1), static_cast<std::uint32_t>(hash)});
    }

    // Removes the update at `pos`, whose id hashes to `hash`; the last
    // update moves into its place.
    void remove(std::uint32_t pos, std::uint64_t hash) noexcept {
        erase_slot(slot_of(pos, hash));
        const auto last = static_cast<std::uint32_t>(store_.size() - 1);
        if (pos != last) slots_[slot_of(last, hash_id(store_.id(last)))].pos = pos;
        store_.remove(pos);
    }

    // Room for `count` updates in all, so that a batch grows the slot array
    // once rather than at every doubling. Throws std::bad_alloc with no
    // update changed.
    void reserve(std::size_t count) {
        if (count >= kNoIndex) return;
        std::size_t slots = slots_.empty() ? kFirstSlots : slots_.size();
        while (count > slots / 4 * 3) slots *= 2;
        if (slots > slots_.size()) rehash(slots);
        store_.reserve(count);
    }

    // Forgets every update. The store gives back all its storage; the slot
    // array keeps its size for a like fill, unless it is far larger than the
    // updates just held needed.
    void clear() noexcept {
        const std::size_t held = store_.size();
        store_.clear();
        if (slots_.size() / 4 * 3 > kKeptFactor * std::max(held, kAlwaysKept)) {
            std::vector<Slot>().swap(slots_);
        } else {
            std::fill(slots_.begin(), slots_.end(), Slot{kNoIndex, 0});
        }
    }

    // An independent table with the same updates at the same positions.
    // Throws std::bad_alloc.
    NodeTable clone() const {
        NodeTable copy;
        copy.slots_ = slots_;
        copy.store_ = store_.clone();
        return copy;
    }

    // The longest distance of an id's slot from its home slot, as
    // IdPool::longest_probe: a diagnostic for tests of the hash.
    std::uint32_t longest_probe() const noexcept {
        std::uint32_t longest = 0;
        for (std::uint32_t i = 0; i < slots_.size(); ++i)
            if (slots_[i].pos != kNoIndex) longest = std::max(longest, (i - slots_[i].hash) & mask());
        return longest;
    }

    // Bytes of the slot array and the store (texts included).
    std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Slot) + store_.memory_bytes(); }

    // The first flaw in the table, or null: a slot array that is no power
    // of two or too full, a slot whose position or hash bits do not match
    // its record, slots and records that differ in number, a record that a
    // lookup does not find at its own position. O(slots), one hash per
    // update.
    const char* check() const noexcept {
        if (!slots_.empty() && (!std::has_single_bit(slots_.size()) || slots_.size() < kFirstSlots))
            return "a slot array whose size is no power of two";
        if (store_.size() > slots_.size() / 4 * 3) return "a slot array more than 3/4 full";
        std::size_t used = 0;
        for (const Slot& slot : slots_) {
            if (slot.pos == kNoIndex) continue;
            ++used;
            if (slot.pos >= store_.size()) return "a slot names a position past the updates";
            if (slot.hash != static_cast<std::uint32_t>(hash_id(store_.id(slot.pos))))
                return "a slot's hash bits are not its id's";
        }
        if (used != store_.size()) return "slots and updates differ in number";
        for (std::size_t i = 0; i < store_.size(); ++i)
            if (find(store_.id(i), hash_id(store_.id(i))) != i) return "an id is not found at its own position";
        return nullptr;
    }

private:
    std::uint32_t mask() const noexcept { return static_cast<std::uint32_t>(slots_.size()) - 1; }

    // The probe that find and candidate share: the position of the first
    // slot from hash's home on whose stored hash bits match and for which
    // match(position) holds, or kNoIndex once a free slot comes first.
    template <class Match>
    [[gnu::always_inline]] std::uint32_t probe(std::uint64_t hash, const Match& match) const noexcept {
        if (slots_.empty()) return kNoIndex;
        const auto h = static_cast<std::uint32_t>(hash);
        const std::uint32_t mask = this->mask();
        for (std::uint32_t i = h & mask;; i = (i + 1) & mask) {
            const Slot s = slots_[i];
            if (s.pos == kNoIndex) return kNoIndex;
            if (s.hash == h && match(s.pos)) return s.pos;
        }
    }

    // The slot that holds position pos, whose id hashes to hash.
    std::uint32_t slot_of(std::uint32_t pos, std::uint64_t hash) const noexcept {
        const std::uint32_t mask = this->mask();
        std::uint32_t i = static_cast<std::uint32_t>(hash) & mask;
        while (slots_[i].pos != pos) i = (i + 1) & mask;
        return i;
    }

    // Empties slot i, moving back each later slot of its run that may sit
    // there (one whose home is not in the cyclic range after i up to it).
    void erase_slot(std::uint32_t i) noexcept {
        const std::uint32_t mask = this->mask();
        for (std::uint32_t j = (i + 1) & mask;; j = (j + 1) & mask) {
            const Slot s = slots_[j];
            if (s.pos == kNoIndex) break;
            const std::uint32_t home = s.hash & mask;
            if (((j - home) & mask) >= ((j - i) & mask)) {
                slots_[i] = s;
                i = j;
            }
        }
        slots_[i] = Slot{kNoIndex, 0};
    }

    void place(Slot slot) noexcept {
        const std::uint32_t mask = this->mask();
        std::uint32_t i = slot.hash & mask;
        while (slots_[i].pos != kNoIndex) i = (i + 1) & mask;
        slots_[i] = slot;
    }

    // Moves every slot into a new array of `count` (a power of two).
    void rehash(std::size_t count) {
        if (count > (std::size_t{1} << 32)) throw std::bad_alloc();
        std::vector<Slot> old(count, Slot{kNoIndex, 0});
        old.swap(slots_);
        for (const Slot& s : old)
            if (s.pos != kNoIndex) place(s);
    }

    Store store_;
    std::vector<Slot> slots_;
};

}  // namespace tarnu::detail
