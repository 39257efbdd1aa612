#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/inner_table.hpp"
#include "basics/prefetch.hpp"

namespace tarnu::detail {

// Interns ids: each distinct id gets a dense 32-bit index and one Entry that
// holds whatever the diff keeps per id. Everything else in the diff refers to
// ids by index, so an id's 16 bytes are stored once however many edges name
// it. Each id is kept twice, for two kinds of reader:
// - beside its entry, in one cell (one cache line for the diff's entries):
//   a lookup confirms its match there, on the line the caller goes on to use,
//   so finding an id and reaching its entry cost one memory access, not two;
// - in one flat array by index: the encoder reads the id of every target of
//   every edge, and a 16-byte stride keeps that array four times smaller in
//   cache than the cells.
//
// The index is an open-addressing table in one flat array of 8-byte slots
// (index, low 32 bits of the hash), linear probing, at most 3/4 full,
// power-of-two size. The stored hash lets a probe skip other ids without
// touching their cells, and lets the table grow without rehashing ids.
//
// Cells live in chunks that never move, so a reference to an entry stays
// valid while other ids are interned. The first chunks are small (32, 64, ...
// entries) so a diff of a few nodes stays small; from 4096 entries on every
// chunk holds 4096, so the storage overshoots by at most one chunk. A table
// of pages, one pointer per 32 entries, finds an entry with a shift, a mask
// and one load from a table that stays in cache.
//
// Ids are never removed one by one: an id stays interned, with an empty
// entry, after the last collection naming it lets it go, until clear(). The
// pool therefore grows with the number of distinct ids seen since the last
// clear, which every operation bounds by two per call; clear() gives back
// room far beyond what the diff held when it was cleared.
template <class Entry, class Id>
class IdPool {
    struct Slot {
        std::uint32_t index;
        std::uint32_t hash;
    };
    struct alignas(64) Cell {
        Entry entry;  // first: a Found's entry pointer is its cell's address
        Id id;
    };
    static_assert(std::is_standard_layout_v<Cell>, "a cell and its entry share an address");
    static constexpr std::uint32_t kFirstSlots = 16;
    static constexpr unsigned kPageLog = 5;
    static constexpr std::uint32_t kPage = 1u << kPageLog;
    static constexpr std::uint32_t kLastChunk = 4096;
    // clear() keeps room for up to this many times the ids it expects next,
    // and never gives back the room of this many ids.
    static constexpr std::uint32_t kKeptCapacityFactor = 4;
    static constexpr std::uint32_t kAlwaysKept = 4096;

public:
    IdPool() = default;
    IdPool(const IdPool&) = delete;
    IdPool& operator=(const IdPool&) = delete;
    // A moved-from pool is empty. The diff moves its pool when it is moved
    // itself, and takes a clone() by assignment.
    IdPool(IdPool&& other) noexcept
        : slots_(std::exchange(other.slots_, {})),
          ids_(std::exchange(other.ids_, {})),
          chunks_(std::exchange(other.chunks_, {})),
          pages_(std::exchange(other.pages_, {})),
          size_(std::exchange(other.size_, 0)),
          entry_capacity_(std::exchange(other.entry_capacity_, 0)) {}
    IdPool& operator=(IdPool&& other) noexcept {
        if (this != &other) {
            slots_ = std::exchange(other.slots_, {});
            ids_ = std::exchange(other.ids_, {});
            chunks_ = std::exchange(other.chunks_, {});
            pages_ = std::exchange(other.pages_, {});
            size_ = std::exchange(other.size_, 0);
            entry_capacity_ = std::exchange(other.entry_capacity_, 0);
        }
        return *this;
    }

    std::uint32_t size() const noexcept { return size_; }

    // An interned index with its entry, as a lookup finds them: the entry
    // is reached without going through the page table again, and stays
    // where it is while other ids are interned. {kNoIndex, null}: absent.
    struct Found {
        std::uint32_t index;
        Entry* entry;
    };

    // Index of id, or kNoIndex. hash is hash_id(id).
    std::uint32_t find(const Id& id, std::uint64_t hash) const noexcept { return lookup(id, hash).index; }

    // Index and entry of id, or {kNoIndex, null}.
    Found lookup(const Id& id, std::uint64_t hash) const noexcept {
        if (slots_.empty()) return {kNoIndex, nullptr};
        const std::uint32_t h = static_cast<std::uint32_t>(hash);
        const std::uint32_t mask = static_cast<std::uint32_t>(slots_.size()) - 1;
        for (std::uint32_t i = h & mask;; i = (i + 1) & mask) {
            const Slot s = slots_[i];
            if (s.index == kNoIndex) return {kNoIndex, nullptr};
            if (s.hash == h) {
                Cell& cell = const_cast<Cell&>(locate(s.index));
                if (cell.id == id) return {s.index, &cell.entry};
            }
        }
    }

    // Index of id, interning it first if it is new. Throws std::bad_alloc with
    // no id added (the table may have grown).
    std::uint32_t intern(const Id& id, std::uint64_t hash) {
        const std::uint32_t found = find(id, hash);
        return found != kNoIndex ? found : add(id, hash);
    }

    // Interns an id known not to be interned yet (find gave kNoIndex) and
    // returns its index. Throws std::bad_alloc with no id added.
    std::uint32_t add(const Id& id, std::uint64_t hash) {
        assert(find(id, hash) == kNoIndex && "interned twice");
        if (size_ >= kNoIndex - 1) throw std::bad_alloc();
        if (static_cast<std::size_t>(size_) + 1 > slots_.size() / 4 * 3) grow_slots();
        if (ids_.size() == ids_.capacity()) ids_.reserve(std::max<std::size_t>(kFirstSlots, ids_.size() * 2));
        if (size_ == entry_capacity_) add_chunk();
        const std::uint32_t index = size_;
        ids_.push_back(id);
        locate(index).id = id;
        place(Slot{index, static_cast<std::uint32_t>(hash)});
        ++size_;
        return index;
    }

    // Room for `count` ids in all in the slot array and the id array, so
    // that a batch which knows its size grows them once rather than at every
    // doubling on the way (each doubling re-places every id, a random write
    // into the new slot array). Cells are left to add(): their chunks never
    // move. Throws std::bad_alloc with no id changed.
    void reserve(std::uint32_t count) {
        if (count <= size_) return;
        std::size_t slots = slots_.empty() ? kFirstSlots : slots_.size();
        while (count > slots / 4 * 3) slots *= 2;
        if (slots > slots_.size()) rehash(slots);
        if (ids_.capacity() < count) ids_.reserve(count);
    }

    const Id& id(std::uint32_t index) const noexcept {
        assert(index < size_);
        return ids_[index];
    }

    // Hints for a batch of lookups that comes a little later: the slot where
    // a probe for `hash` starts, and the cell of an index.
    // Both inlined wherever they are used, as every read-ahead step is.
    [[gnu::always_inline]] void prefetch_slot(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) detail::prefetch(&slots_[static_cast<std::uint32_t>(hash) & (slots_.size() - 1)]);
    }
    [[gnu::always_inline]] void prefetch_entry(std::uint32_t index) const noexcept {
        detail::prefetch(&locate(index));
    }

    Entry& operator[](std::uint32_t index) noexcept {
        assert(index < size_);
        return locate(index).entry;
    }
    const Entry& operator[](std::uint32_t index) const noexcept {
        assert(index < size_);
        return locate(index).entry;
    }

    // An independent pool with the same ids at the same indices, each entry
    // made by clone_entry(const Entry&). Throws std::bad_alloc (or what
    // clone_entry throws); the copy made so far is then dropped whole.
    template <class CloneEntry>
    IdPool clone(CloneEntry&& clone_entry) const {
        IdPool copy;
        copy.slots_ = slots_;
        copy.ids_.reserve(ids_.capacity());
        copy.ids_ = ids_;
        while (copy.entry_capacity_ < size_) copy.add_chunk();
        for (std::uint32_t i = 0; i < size_; ++i) {
            Cell& cell = copy.locate(i);
            cell.entry = clone_entry(locate(i).entry);
            cell.id = locate(i).id;
            ++copy.size_;
        }
        return copy;
    }

    // Forgets every id. Entries are reset by assigning Entry{}, which frees
    // only what Entry's assignment frees: the diff's entries hold InnerTables,
    // whose blocks belong to the diff's BlockPool and must have been released
    // or discarded before. The slot array and the chunks keep their size for
    // the next fill when a fill of `expected` ids would use a fair share of
    // them; when they are far larger (an earlier, bigger batch, or ids that
    // nothing named any more) they are given back, so that neither memory
    // nor the cost of clearing stays at the size of the largest batch ever
    // held.
    void clear(std::uint32_t expected) noexcept {
        for (std::uint32_t i = 0; i < size_; ++i) (*this)[i] = Entry{};  // stale ids in the cells are never read
        if (entry_capacity_ > kKeptCapacityFactor * std::max(expected, kAlwaysKept)) {
            decltype(slots_)().swap(slots_);
            decltype(ids_)().swap(ids_);
            decltype(chunks_)().swap(chunks_);
            decltype(pages_)().swap(pages_);
            entry_capacity_ = 0;
        } else {
            std::fill(slots_.begin(), slots_.end(), Slot{kNoIndex, 0});
            ids_.clear();
        }
        size_ = 0;
    }

    // The longest distance of an id's slot from its home slot. A diagnostic
    // for tests of the hash: it walks the whole slot array.
    std::uint32_t longest_probe() const noexcept {
        const std::uint32_t mask = static_cast<std::uint32_t>(slots_.size()) - 1;
        std::uint32_t longest = 0;
        for (std::uint32_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].index == kNoIndex) continue;
            longest = std::max(longest, (i - slots_[i].hash) & mask);
        }
        return longest;
    }
    // The first id whose stored hash bits match `hash`, which is almost
    // always the id itself, with its cell asked for: a lookup a little
    // ahead of its use, reading slots only, which confirm() completes once
    // the cell has arrived. {kNoIndex, null} when the probe meets a free
    // slot first: the id was not interned when this ran.
    [[gnu::always_inline]] Found candidate(std::uint64_t hash) const noexcept {
        if (slots_.empty()) return {kNoIndex, nullptr};
        const std::uint32_t h = static_cast<std::uint32_t>(hash);
        const std::uint32_t mask = static_cast<std::uint32_t>(slots_.size()) - 1;
        for (std::uint32_t i = h & mask;; i = (i + 1) & mask) {
            const Slot s = slots_[i];
            if (s.index == kNoIndex) return {kNoIndex, nullptr};
            if (s.hash == h) {
                Cell& cell = const_cast<Cell&>(locate(s.index));
                detail::prefetch(&cell);
                return {s.index, &cell.entry};
            }
        }
    }
    // What a lookup of id gives, from a non-null candidate for its hash:
    // the candidate itself when its cell holds id, which costs one compare,
    // else the whole lookup (another id with the same 32 hash bits).
    Found confirm(const Found& candidate, const Id& id, std::uint64_t hash) const noexcept {
        assert(candidate.entry != nullptr);
        if (reinterpret_cast<const Cell*>(candidate.entry)->id == id) return candidate;
        return lookup(id, hash);
    }
    // The entry of an index, for a caller that keeps it as lookup() gives it.
    Entry* entry(std::uint32_t index) noexcept { return &locate(index).entry; }

    // The first flaw in the pool, or null: counts that disagree, a slot
    // array that is no power of two or too full, a slot whose index or
    // stored hash bits do not match its id, a cell whose id differs from the
    // flat array's, an id that a lookup does not find at its own index.
    // hash_of(id) is the hash the ids were interned with. Costs O(slots),
    // one hash per id.
    template <class HashOf>
    const char* check(HashOf&& hash_of) const noexcept {
        if (ids_.size() != size_) return "the id array and the count differ";
        if (size_ > entry_capacity_) return "more ids than cells";
        if (pages_.size() * kPage != entry_capacity_) return "the page table does not cover the cells";
        if (!slots_.empty() && (!std::has_single_bit(slots_.size()) || slots_.size() < kFirstSlots))
            return "a slot array whose size is no power of two";
        if (size_ > slots_.size() / 4 * 3) return "a slot array more than 3/4 full";
        std::uint32_t used = 0;
        for (const Slot& slot : slots_) {
            if (slot.index == kNoIndex) continue;
            ++used;
            if (slot.index >= size_) return "a slot names an index past the ids";
            if (slot.hash != static_cast<std::uint32_t>(hash_of(ids_[slot.index])))
                return "a slot's hash bits are not its id's";
        }
        if (used != size_) return "slots and ids differ in number";
        for (std::uint32_t i = 0; i < size_; ++i) {
            if (!(locate(i).id == ids_[i])) return "a cell's id differs from the id array";
            if (find(ids_[i], hash_of(ids_[i])) != i) return "an id is not found at its own index";
        }
        return nullptr;
    }

    // Bytes of the slot array, the id array and the entry chunks (not what
    // entries own).
    std::size_t memory_bytes() const noexcept {
        // The last two tables hold pointers: their size is meant.
        // NOLINTBEGIN(bugprone-sizeof-expression)
        return slots_.capacity() * sizeof(Slot) + ids_.capacity() * sizeof(Id) +
               std::size_t{entry_capacity_} * sizeof(Cell) + chunks_.capacity() * sizeof(chunks_[0]) +
               pages_.capacity() * sizeof(pages_[0]);
        // NOLINTEND(bugprone-sizeof-expression)
    }

private:
    Cell& locate(std::uint32_t index) noexcept { return pages_[index >> kPageLog][index & (kPage - 1)]; }
    const Cell& locate(std::uint32_t index) const noexcept { return pages_[index >> kPageLog][index & (kPage - 1)]; }

    // Room for kPage entries more at least, in a chunk twice the size of the
    // last (up to kLastChunk). Throws std::bad_alloc with nothing changed.
    void add_chunk() {
        const std::uint32_t size = std::min(std::max(entry_capacity_, kPage), kLastChunk);
        if (chunks_.size() == chunks_.capacity()) chunks_.reserve(std::max<std::size_t>(8, chunks_.size() * 2));
        const std::size_t pages = pages_.size() + size / kPage;
        if (pages > pages_.capacity()) pages_.reserve(std::max(pages, pages_.capacity() * 2));
        chunks_.push_back(std::make_unique<Cell[]>(size));
        for (std::uint32_t i = 0; i < size; i += kPage) pages_.push_back(chunks_.back().get() + i);
        entry_capacity_ += size;
    }

    void place(Slot slot) noexcept {
        const std::uint32_t mask = static_cast<std::uint32_t>(slots_.size()) - 1;
        std::uint32_t i = slot.hash & mask;
        while (slots_[i].index != kNoIndex) i = (i + 1) & mask;
        slots_[i] = slot;
    }

    void grow_slots() { rehash(slots_.empty() ? kFirstSlots : slots_.size() * 2); }

    // Moves every slot into a new array of `count` (a power of two).
    void rehash(std::size_t count) {
        if (count > (std::size_t{1} << 32)) throw std::bad_alloc();
        std::vector<Slot> old(count, Slot{kNoIndex, 0});
        old.swap(slots_);
        for (const Slot& s : old)
            if (s.index != kNoIndex) place(s);
    }

    std::vector<Slot> slots_;
    std::vector<Id> ids_;  // by index
    std::vector<std::unique_ptr<Cell[]>> chunks_;
    std::vector<Cell*> pages_;  // the first cell of every kPage cells, in index order
    std::uint32_t size_ = 0;
    std::uint32_t entry_capacity_ = 0;
};

}  // namespace tarnu::detail
