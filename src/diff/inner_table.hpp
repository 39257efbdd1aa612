#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "diff/block_pool.hpp"
#include "basics/prefetch.hpp"

namespace tarnu::detail {

// Index of an interned id; this value is never handed out and marks a free slot.
inline constexpr std::uint32_t kNoIndex = 0xffffffffu;

// A set (V = void) or map (V = a 4-byte-multiple trivially copyable value) of
// interned id indices: the targets of one source, or the sources of one target.
// Most of these hold a handful of entries, so the table is built to be small
// while it is small and to stay O(1) per operation when one source has
// millions of targets:
//
//   inline  capacity kInline (2 keys, or 1 key and a float) kept in the 8
//           bytes that otherwise hold the heap pointer: no allocation at all;
//   dense   capacity up to kDenseMax, one heap block, entries packed at the
//           front and scanned linearly; erase moves the last entry down;
//   hashed  power-of-two capacity, at most 3/4 full: the entries stay packed
//           at the front as in a dense table, and an index of capacity
//           slots behind them (open addressing, linear probing,
//           backward-shift deletion, no tombstones) holds each entry's row.
//
// Keys sit in one array and values in a second array right behind it in the
// same block. Values are copied with memcpy, so a float keeps its exact bits.
//
// Order. Entries are walked in their rows' order in every layout, and rows
// change only by appending and by moving the last row into an erased one. So
// the order depends only on the sequence of inserts and erases, never on
// the key values (interned indices, which differ between two records that
// hold the same ids): a record rebuilt by inserting in a walk's order walks
// in the same order, and so do both after the same further operations.
// The table never shrinks on erase; release() gives the memory back.
//
// Blocks come from a BlockPool that the caller passes to every call that
// allocates or frees, the same pool for the table's whole life. The table
// does not free its block on destruction: its owner releases it (or, for
// tables whose pool is about to be reset, discards it) first.
template <class V>
class InnerTable {
    static constexpr bool kIsSet = std::is_void_v<V>;
    using Value = std::conditional_t<kIsSet, std::uint32_t, V>;  // placeholder type for sets
    static constexpr std::size_t kValueWords = kIsSet ? 0 : sizeof(Value) / 4;
    static_assert(kIsSet || (std::is_trivially_copyable_v<Value> && sizeof(Value) % 4 == 0 &&
                             alignof(Value) <= 4),
                  "values are stored as raw 32-bit words");

    static constexpr std::uint32_t kInline = static_cast<std::uint32_t>(2 / (1 + kValueWords));
    static constexpr std::uint32_t kDenseMax = 16;
    static constexpr std::uint32_t kFirstHeap = 4;

public:
    InnerTable() noexcept = default;
    InnerTable(const InnerTable&) = delete;
    InnerTable& operator=(const InnerTable&) = delete;
    InnerTable(InnerTable&& other) noexcept { steal(other); }
    // Only onto a table that holds no block (released, discarded or new).
    InnerTable& operator=(InnerTable&& other) noexcept {
        assert(!on_heap() && "a block held here would be lost");
        if (this != &other) steal(other);
        return *this;
    }
    ~InnerTable() = default;

    std::uint32_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    bool contains(std::uint32_t key) const noexcept { return find(key) != kNoIndex; }

    // Makes room for one more entry, so that the next insert cannot allocate.
    // Throws std::bad_alloc with the table unchanged.
    void reserve_one(BlockPool& blocks) {
        if (size_ >= rows_) [[unlikely]]
            grow_one(blocks);
    }

    // Inserts key (with value, for maps) or, for a map whose key is present,
    // overwrites the value. Returns true when the key was new. Needs the room
    // that reserve_one() makes when the key may be new.
    bool insert(std::uint32_t key) noexcept
        requires kIsSet
    {
        return put(key, nullptr);
    }
    // Inserts a key the set is known not to hold, without looking for it
    // first. Needs the room that reserve_one() makes.
    void insert_absent(std::uint32_t key) noexcept
        requires kIsSet
    {
        assert(size_ < rows_ && "reserve_one() first");
        assert(!contains(key));
        if (hashed()) place_row(key, size_);
        keys()[size_++] = key;
    }
    void insert_absent(std::uint32_t key, const Value& value) noexcept
        requires(!kIsSet)
    {
        assert(size_ < rows_ && "reserve_one() first");
        assert(!contains(key));
        if (hashed()) place_row(key, size_);
        store(size_++, key, &value);
    }
    // Overwrites the value of a key the map holds; false, with nothing
    // changed, when it does not hold it. Never allocates.
    bool assign(std::uint32_t key, const Value& value) noexcept
        requires(!kIsSet)
    {
        const std::uint32_t row = find(key);
        if (row == kNoIndex) return false;
        std::memcpy(value_words(row), &value, sizeof(Value));
        return true;
    }
    bool insert_or_assign(std::uint32_t key, const Value& value) noexcept
        requires(!kIsSet)
    {
        return put(key, &value);
    }
    // Inserts key (with value) only when it is new; a present key keeps its
    // value. Returns true when the key was new. Needs the room of reserve_one().
    bool insert_new(std::uint32_t key, const Value* value) noexcept { return put(key, value, false); }

    // Returns true when the key was there. The last entry moves into its row.
    // Inline and dense tables, nearly all of them, are erased from in line:
    // the deletes erase once or twice per removed edge, and the general
    // path's call and repeated layout tests cost as much as the scan.
    [[gnu::always_inline]] bool erase(std::uint32_t key) noexcept {
        if (hashed()) [[unlikely]]
            return erase_hashed(key);
        std::uint32_t* k = keys();
        const std::uint32_t n = size_;
        std::uint32_t row = 0;
        while (row < n && k[row] != key) ++row;
        if (row == n) return false;
        // The values start rows_ words after the keys. The last entry may be
        // the erased one itself.
        const std::uint32_t last = n - 1;
        k[row] = k[last];
        if constexpr (!kIsSet) {
            std::uint32_t* values = k + rows_;
            std::memmove(values + static_cast<std::size_t>(row) * kValueWords,
                        values + static_cast<std::size_t>(last) * kValueWords, sizeof(Value));
        }
        size_ = last;
        return true;
    }

    // Makes room for `count` entries in all, so that inserting up to that
    // many cannot allocate. Throws std::bad_alloc with the table unchanged.
    void reserve(std::uint32_t count, BlockPool& blocks) {
        if (count <= rows_) return;
        std::uint32_t capacity = this->capacity();
        while (max_size(capacity) < count) capacity = next_capacity(capacity);
        regrow(capacity, blocks);
    }

    // An independent table with the same entries in the same rows, its block
    // taken from `blocks`. Throws std::bad_alloc.
    InnerTable clone(BlockPool& blocks) const {
        InnerTable copy;
        if (on_heap()) {
            std::uint32_t* block = blocks.allocate(words());
            std::memcpy(block, heap(), words() * sizeof(std::uint32_t));
            copy.set_heap(block);
        } else {
            std::memcpy(copy.words_, words_, sizeof words_);
        }
        copy.size_ = size_;
        copy.rows_ = rows_;
        return copy;
    }

    // Value stored for key, or nullopt.
    std::optional<Value> get(std::uint32_t key) const noexcept
        requires(!kIsSet)
    {
        const std::uint32_t row = find(key);
        if (row == kNoIndex) return std::nullopt;
        return value_at(row);
    }

    // f(key) for sets, f(key, value) for maps, in row order (see above).
    // f must not change this table.
    template <class F>
    void for_each(F&& f) const {
        const std::uint32_t* k = keys();
        for (std::uint32_t i = 0; i < size_; ++i) {
            if constexpr (kIsSet) {
                f(k[i]);
            } else {
                f(k[i], value_at(i));
            }
        }
    }

    // Asks the processor to start loading the heap block's keys and values,
    // for a walk that comes a little later. A hint only; never faults.
    // Always inlined, as every read-ahead step is: the count of prefetches
    // per function is what tests/python/test_read_ahead.py checks.
    [[gnu::always_inline]] void prefetch() const noexcept {
        if (!on_heap()) return;
        const std::uint32_t* block = heap();
        detail::prefetch(block);
        detail::prefetch(block + static_cast<std::size_t>(rows_) * (1 + kValueWords) - 1);
    }

    // Drops every entry and gives the heap block back.
    void release(BlockPool& blocks) noexcept {
        if (on_heap()) blocks.deallocate(heap(), words());
        forget();
    }

    // Drops every entry ahead of a reset of the pool: only a block that does
    // not live in the pool's slabs is given back one by one.
    void discard(BlockPool& blocks) noexcept {
        if (on_heap() && !BlockPool::is_small(words())) blocks.deallocate(heap(), words());
        forget();
    }

    std::size_t memory_bytes() const noexcept {
        return on_heap() ? words() * sizeof(std::uint32_t) : 0;
    }
    std::uint32_t capacity() const noexcept { return hashed() ? index_slots() : rows_; }

    // Adds the block this table holds, if any, to what `usage` counts.
    void count_block(BlockPool::Usage& usage) const noexcept {
        if (on_heap()) usage.add(words());
    }

    // The first flaw in the table's layout, or null: a capacity that no
    // growth produces, more entries than rows, a key not below `bound` (the
    // number of interned ids) or held twice, an index that loses a row.
    // Costs O(capacity), with a quadratic scan of at most kDenseMax keys.
    const char* check(std::uint32_t bound) const noexcept {
        if (!(rows_ == kInline || rows_ == kFirstHeap || rows_ == 12 || rows_ == kDenseMax ||
              (rows_ > kDenseMax && rows_ % 3 == 0 && std::has_single_bit(rows_ / 3))))
            return "a capacity that no growth produces";
        if (size_ > rows_) return "more entries than rows";
        const std::uint32_t* k = keys();
        for (std::uint32_t row = 0; row < size_; ++row)
            if (k[row] >= bound) return "a key that is no interned index";
        if (!hashed()) {
            for (std::uint32_t row = 0; row < size_; ++row)
                for (std::uint32_t other = row + 1; other < size_; ++other)
                    if (k[row] == k[other]) return "a key held twice";
            return nullptr;
        }
        std::uint32_t used = 0;
        const std::uint32_t* slots = index();
        for (std::uint32_t i = 0, n = index_slots(); i < n; ++i) {
            if (slots[i] == kNoIndex) continue;
            if (slots[i] >= size_) return "an index slot names a row past the entries";
            ++used;
        }
        if (used != size_) return "the index holds another number of rows than the table";
        // With as many slots as rows, each row found through its own key
        // means every key is held once and reachable from its home slot.
        for (std::uint32_t row = 0; row < size_; ++row) {
            const std::uint32_t slot = find_slot(k[row]);
            if (slot == kNoIndex || slots[slot] != row) return "a row that its key does not find";
        }
        return nullptr;
    }

private:
    static constexpr std::uint32_t max_size(std::uint32_t capacity) noexcept {
        return capacity > kDenseMax ? capacity / 4 * 3 : capacity;
    }
    // Rows for the entries, then (hashed only) the index of capacity slots.
    static constexpr std::size_t words_for(std::uint32_t capacity) noexcept {
        return static_cast<std::size_t>(max_size(capacity)) * (1 + kValueWords) +
               (capacity > kDenseMax ? capacity : 0);
    }
    // Dense blocks grow 4, 12, 16: a table of ten, the common size, takes two
    // blocks and wastes two slots. Fewer sizes on the way also leave fewer
    // outgrown blocks waiting in the pool for a table of their size.
    static std::uint32_t next_capacity(std::uint32_t capacity) {
        if (capacity < kFirstHeap) return kFirstHeap;
        if (capacity < 12) return 12;
        if (capacity < kDenseMax) return kDenseMax;
        if (capacity > (1u << 30)) throw std::bad_alloc();
        return capacity * 2;
    }

    bool on_heap() const noexcept { return rows_ > kInline; }
    bool hashed() const noexcept { return rows_ > kDenseMax; }
    // Hashed only: the slots of the index, four for every three rows (a
    // power of two, of which rows_ holds three quarters).
    std::uint32_t index_slots() const noexcept {
        assert(hashed());
        return 1u << (std::countr_zero(rows_) + 2);
    }
    // The words of the heap block: the rows, then a hashed table's index.
    std::size_t words() const noexcept {
        return static_cast<std::size_t>(rows_) * (1 + kValueWords) + (hashed() ? index_slots() : 0);
    }

    std::uint32_t* heap() const noexcept {
        std::uint32_t* p;
        std::memcpy(&p, words_, sizeof p);
        return p;
    }
    void set_heap(std::uint32_t* p) noexcept { std::memcpy(words_, &p, sizeof p); }

    std::uint32_t* keys() noexcept { return on_heap() ? heap() : words_; }
    const std::uint32_t* keys() const noexcept { return on_heap() ? heap() : words_; }
    // Values follow the keys: row i's value starts kValueWords * i words after them.
    std::uint32_t* value_words(std::uint32_t row) noexcept {
        return keys() + rows_ + static_cast<std::size_t>(row) * kValueWords;
    }
    const std::uint32_t* value_words(std::uint32_t row) const noexcept {
        return keys() + rows_ + static_cast<std::size_t>(row) * kValueWords;
    }
    // Hashed only: index_slots() slots, each a row or kNoIndex, after the values.
    std::uint32_t* index() noexcept { return keys() + static_cast<std::size_t>(rows_) * (1 + kValueWords); }
    const std::uint32_t* index() const noexcept { return keys() + static_cast<std::size_t>(rows_) * (1 + kValueWords); }
    Value value_at(std::uint32_t slot) const noexcept {
        Value v;
        std::memcpy(&v, value_words(slot), sizeof v);
        return v;
    }
    void store(std::uint32_t slot, std::uint32_t key, const Value* value) noexcept {
        keys()[slot] = key;
        if constexpr (!kIsSet) std::memcpy(value_words(slot), value, sizeof(Value));
    }
    void move_entry(std::uint32_t from, std::uint32_t to) noexcept {
        std::uint32_t* k = keys();
        k[to] = k[from];
        if constexpr (!kIsSet) std::memcpy(value_words(to), value_words(from), sizeof(Value));
    }

    // Fibonacci hashing: interned indices are dense small integers, and the
    // top bits of their product with 2^64/phi are spread evenly.
    std::uint32_t home(std::uint32_t key) const noexcept {
        const unsigned shift = 62 - static_cast<unsigned>(std::countr_zero(rows_));  // 64 - log2(index_slots())
        return static_cast<std::uint32_t>((key * 0x9e3779b97f4a7c15ull) >> shift);
    }

    // Row of key, or kNoIndex.
    std::uint32_t find(std::uint32_t key) const noexcept {
        const std::uint32_t* k = keys();
        if (!hashed()) {
            for (std::uint32_t i = 0; i < size_; ++i)
                if (k[i] == key) return i;
            return kNoIndex;
        }
        const std::uint32_t slot = find_slot(key);
        return slot == kNoIndex ? kNoIndex : index()[slot];
    }

    // Hashed only: the index slot that holds key's row, or kNoIndex.
    std::uint32_t find_slot(std::uint32_t key) const noexcept {
        assert(hashed());
        const std::uint32_t* k = keys();
        const std::uint32_t* slots = index();
        const std::uint32_t mask = index_slots() - 1;
        for (std::uint32_t i = home(key);; i = (i + 1) & mask) {
            if (slots[i] == kNoIndex) return kNoIndex;
            if (k[slots[i]] == key) return i;
        }
    }

    // Hashed only: enters `row` for a key that is not in the index yet.
    void place_row(std::uint32_t key, std::uint32_t row) noexcept {
        assert(hashed());
        std::uint32_t* slots = index();
        const std::uint32_t mask = index_slots() - 1;
        std::uint32_t i = home(key);
        while (slots[i] != kNoIndex) i = (i + 1) & mask;
        slots[i] = row;
    }

    bool put(std::uint32_t key, const Value* value, bool overwrite = true) noexcept {
        const std::uint32_t row = find(key);
        if (row != kNoIndex) {
            if (overwrite) store(row, key, value);
            return false;
        }
        assert(size_ < rows_ && "reserve_one() first");
        if (hashed()) place_row(key, size_);
        store(size_++, key, value);
        return true;
    }

    // Out of line: only a table of more than kDenseMax entries is hashed.
    [[gnu::noinline]] bool erase_hashed(std::uint32_t key) noexcept {
        const std::uint32_t slot = find_slot(key);
        if (slot == kNoIndex) return false;
        const std::uint32_t row = index()[slot];
        erase_slot(slot);
        const std::uint32_t last = size_ - 1;
        if (row != last) {
            index()[find_slot(keys()[last])] = row;
            move_entry(last, row);
        }
        --size_;
        return true;
    }

    // Linear probing without tombstones: after emptying a slot, pull back every
    // later slot of the run whose key's home does not lie between the hole and it.
    void erase_slot(std::uint32_t hole) noexcept {
        const std::uint32_t* k = keys();
        std::uint32_t* slots = index();
        const std::uint32_t mask = index_slots() - 1;
        for (std::uint32_t j = (hole + 1) & mask; slots[j] != kNoIndex; j = (j + 1) & mask) {
            const std::uint32_t h = home(k[slots[j]]);
            const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
            if (!stays) {
                slots[hole] = slots[j];
                hole = j;
            }
        }
        slots[hole] = kNoIndex;
    }

    // Out of line: a table grows a few times in its life, and the inserts
    // that do not grow it stay short. Inline or dense to dense, the growth
    // of nearly every table, copies the rows to the same places and builds
    // no index; it is written out for its three steps, with the growth into
    // a hashed table a call of its own, because the general code (next
    // capacity, words_for, copy_rows, regrow inlined) kept six registers
    // and some 80 instructions a growth, 0.4 growths an edge of a bulk load.
    [[gnu::noinline]] void grow_one(BlockPool& blocks) {
        if (rows_ >= kDenseMax) [[unlikely]]
            return grow_hashed(blocks);
        // Locals, not the fields: the block's words could alias them as far
        // as the compiler knows, and it would read them again after every store.
        const std::uint32_t old_rows = rows_;
        const std::uint32_t n = size_;
        const std::uint32_t rows = kNextDenseRows[old_rows];
        std::uint32_t* block = blocks.take_small(static_cast<std::size_t>(rows) * (1 + kValueWords));
        // Calls only in tail position: the function then needs no frame
        // and saves no registers (a new slab is one growth in a thousand).
        if (block == nullptr) [[unlikely]]
            return grow_into_new_slab(blocks);
        if (old_rows <= kInline) {
            // The two words hold kInline keys, then a map's one value.
            block[0] = words_[0];
            block[kIsSet ? 1 : rows] = words_[1];
        } else {
            std::uint32_t* old = heap();
            for (std::uint32_t i = 0; i < n; i += 4) __builtin_memcpy(block + i, old + i, 16);
            if constexpr (!kIsSet)
                for (std::uint32_t i = 0; i < n; i += 4) __builtin_memcpy(block + rows + i, old + old_rows + i, 16);
            blocks.deallocate_small(old, static_cast<std::size_t>(old_rows) * (1 + kValueWords));
        }
        set_heap(block);
        rows_ = rows;
    }
    // Inline or dense rows -> the dense rows they grow to: 4, 12, 16. A
    // lookup rather than compares, which GCC turned into straight-line code
    // computing every size for all three.
    static constexpr std::array<std::uint8_t, kDenseMax> kNextDenseRows = [] {
        std::array<std::uint8_t, kDenseMax> next{};
        for (std::uint32_t rows = 0; rows < kDenseMax; ++rows)
            next[rows] = static_cast<std::uint8_t>(rows < kFirstHeap ? kFirstHeap : rows < 12 ? 12 : kDenseMax);
        return next;
    }();
    static_assert(kInline <= 2 && kFirstHeap % 4 == 0 && kDenseMax % 4 == 0,
                  "inline rows fit the two words; dense arrays are whole groups of four");

    [[gnu::noinline]] void grow_hashed(BlockPool& blocks) { regrow(next_capacity(capacity()), blocks); }
    // Throws std::bad_alloc with nothing changed; the slab made, the growth
    // cannot fail.
    [[gnu::noinline]] void grow_into_new_slab(BlockPool& blocks) {
        blocks.make_room_small();
        grow_one(blocks);
    }

    // The first n words of an array of `rows` words (a table's
    // keys, or its values) into an array at least as long. Growth runs
    // through the small tables most of all, whose arrays are copied here
    // without a call: a word or two from inline, whole groups of four from
    // a dense table (every dense capacity is a multiple of four, and so is
    // every larger max_size; the words past n are not read as entries).
    static void copy_rows(std::uint32_t* to, const std::uint32_t* from, std::uint32_t n,
                          std::uint32_t rows) noexcept {
        static_assert(kFirstHeap % 4 == 0 && kDenseMax % 4 == 0, "dense arrays hold whole groups of four");
        if (rows <= kInline) {
            for (std::uint32_t i = 0; i < kInline; ++i)
                if (i < n) to[i] = from[i];
        } else if (rows <= kDenseMax) {
            for (std::uint32_t i = 0; i < n; i += 4) __builtin_memcpy(to + i, from + i, 16);
        } else {
            std::memcpy(to, from, static_cast<std::size_t>(n) * sizeof(std::uint32_t));
        }
    }

    // Moves every entry into a new block of the given capacity. The block is
    // allocated before anything changes, so a bad_alloc leaves the table as it was.
    void regrow(std::uint32_t capacity, BlockPool& blocks) {
        std::uint32_t* block = blocks.allocate(words_for(capacity));
        InnerTable old(std::move(*this));
        set_heap(block);
        rows_ = max_size(capacity);
        // The entries keep their rows and are known to be distinct, so both
        // arrays are copied as they are; a hashed table indexes them anew.
        const std::uint32_t* old_keys = old.keys();
        copy_rows(block, old_keys, old.size_, old.rows_);
        if constexpr (!kIsSet) {
            static_assert(kValueWords == 1, "values are copied a word to a row");
            copy_rows(value_words(0), old_keys + old.rows_, old.size_, old.rows_);
        }
        size_ = old.size_;
        if (hashed()) {
            std::fill_n(index(), capacity, kNoIndex);
            for (std::uint32_t row = 0; row < size_; ++row) place_row(block[row], row);
        }
        old.release(blocks);
    }

    void forget() noexcept {
        words_[0] = words_[1] = 0;
        rows_ = kInline;
        size_ = 0;
    }

    void steal(InnerTable& other) noexcept {
        std::memcpy(words_, other.words_, sizeof words_);
        size_ = other.size_;
        rows_ = other.rows_;
        other.words_[0] = other.words_[1] = 0;
        other.size_ = 0;
        other.rows_ = kInline;
    }

    // Either the heap pointer or the inline entries (keys first, then values).
    std::uint32_t words_[2] = {0, 0};
    std::uint32_t size_ = 0;
    // Rows for entries: the capacity of an inline or dense table, 3/4 of a
    // hashed one's. Kept rather than the capacity because every insert's
    // room test and every value's place read it as it is.
    std::uint32_t rows_ = kInline;
};

}  // namespace tarnu::detail
