#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tarnu::detail {

// The memory of one diff's inner tables. Nearly all of them are small (a
// source's handful of targets, a target's handful of sources) and grow a few
// times on their way there, so a diff makes and frees small blocks at a high
// rate. Here they come from large slabs owned by the diff instead of from
// malloc: a block costs a pointer bump or a pop from the free list of its
// size, carries no allocator header, and the blocks of one diff sit close
// together. Larger blocks (hashed tables) come from operator new, one by one.
//
// Sizes are counted in 32-bit words. Small blocks are multiples of
// kWordsPerStep up to kMaxSmallWords words; each such size keeps a free
// list threaded through the freed blocks themselves.
//
// A block must be given back with the size it was taken with. Slabs are
// only returned when the pool is reset or destroyed; blocks still out at
// that point vanish with them, which is how a diff drops all its tables at
// once.
class BlockPool {
public:
    static constexpr std::size_t kWordsPerStep = 4;
    static constexpr std::size_t kMaxSmallWords = 32;

    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    // A moved-from pool is empty.
    BlockPool(BlockPool&& other) noexcept
        : slabs_(std::move(other.slabs_)),
          free_(std::exchange(other.free_, {})),
          slab_next_(std::exchange(other.slab_next_, nullptr)),
          slab_left_(std::exchange(other.slab_left_, 0)),
          large_words_(std::exchange(other.large_words_, 0)),
          stocked_(std::exchange(other.stocked_, 0)) {
        other.slabs_.clear();
    }
    BlockPool& operator=(BlockPool&&) = delete;

    // Whether a block of this size lives in a slab (and so goes with reset).
    static bool is_small(std::size_t words) noexcept { return words <= kMaxSmallWords; }

    // The blocks that the pool's users hold, counted as the pool counts
    // them: a small block takes its whole size class.
    struct Usage {
        std::size_t small_words = 0;
        std::size_t large_words = 0;
        void add(std::size_t words) noexcept {
            if (is_small(words))
                small_words += round_up(words);
            else
                large_words += words;
        }
    };

    // Throws std::bad_alloc with nothing changed. Inlined into the tables'
    // growth, which runs for about 0.4 of every edge a bulk load adds: out
    // of line, with its register saves, it cost a third more per growth.
    [[gnu::always_inline]] std::uint32_t* allocate(std::size_t words) {
        assert(words > 0);
        if (!is_small(words)) {
            std::uint32_t* block = std::allocator<std::uint32_t>().allocate(words);
            large_words_ += words;
            return block;
        }
        return allocate_small(words);
    }
    // allocate() of a size known to be small (a dense table's block).
    [[gnu::always_inline]] std::uint32_t* allocate_small(std::size_t words) {
        if (std::uint32_t* block = take_small(words)) return block;
        new_slab();
        return take_small(words);
    }
    // A small block from the free lists or the current slab, without a call;
    // null, with nothing changed, when it takes a new slab. Lets a caller
    // keep the rare new slab out of its own code (see InnerTable::grow_one).
    [[gnu::always_inline]] std::uint32_t* take_small(std::size_t words) noexcept {
        assert(words > 0 && is_small(words));
        const std::size_t c = size_class(words);
        if (Free* block = free_[c]) {
            free_[c] = block->next;
            if (block->next == nullptr) stocked_ &= ~(1u << c);
            return reinterpret_cast<std::uint32_t*>(block);
        }
        const std::size_t rounded = round_up(words);
        if (std::uint32_t* block = split_larger(rounded)) return block;
        if (slab_left_ < rounded) [[unlikely]]
            return nullptr;
        std::uint32_t* block = slab_next_;
        slab_next_ += rounded;
        slab_left_ -= rounded;
        return block;
    }

    // Starts the next slab (the rest of the current one goes to a free
    // list), for a caller whose take_small() found no room: a small block
    // then comes without one. Throws std::bad_alloc with nothing changed.
    void make_room_small() { new_slab(); }

    void deallocate(std::uint32_t* block, std::size_t words) noexcept {
        assert(block != nullptr && words > 0);
        if (!is_small(words)) {
            assert(large_words_ >= words);
            std::allocator<std::uint32_t>().deallocate(block, words);
            large_words_ -= words;
            return;
        }
        deallocate_small(block, words);
    }
    void deallocate_small(std::uint32_t* block, std::size_t words) noexcept {
        assert(block != nullptr && words > 0 && is_small(words));
        push_free(block, round_up(words));
    }

    // Forgets every small block, handed out or free, and gives the slabs
    // back. Large blocks must have been deallocated one by one before.
    void reset() noexcept {
        assert(large_words_ == 0 && "a large block would leak");
        std::vector<Slab>().swap(slabs_);
        free_.fill(nullptr);
        stocked_ = 0;
        slab_next_ = nullptr;
        slab_left_ = 0;
    }

    // Null when the blocks that the users hold, `out`, and the pool's free
    // room account for every word of the slabs and the large blocks out;
    // otherwise what does not add up. A block lost, freed twice, or given
    // back with another size shows here. Walks the free lists.
    const char* check(const Usage& out) const noexcept {
        if (large_words_ != out.large_words) return "large blocks out differ from those the tables hold";
        std::size_t slab_words = 0;
        for (const Slab& slab : slabs_) slab_words += slab.words;
        if (slab_left_ % kWordsPerStep != 0) return "the rest of the current slab is no whole step";
        if (slabs_.empty() ? slab_next_ != nullptr || slab_left_ != 0
                           : slab_next_ + slab_left_ != slabs_.back().words_at.get() + slabs_.back().words)
            return "the rest of the current slab does not end with the slab";
        std::size_t free_words = 0;
        std::size_t steps_left = slab_words / kWordsPerStep;  // more free blocks than that means a loop
        for (std::size_t c = 0; c < kClasses; ++c) {
            if ((free_[c] != nullptr) != ((stocked_ >> c & 1u) != 0)) return "a free list and its bit disagree";
            for (const Free* block = free_[c]; block != nullptr; block = block->next) {
                if (steps_left-- == 0) return "a free list loops";
                free_words += (c + 1) * kWordsPerStep;
            }
        }
        if (out.small_words + free_words + slab_left_ != slab_words)
            return "small blocks held, free and unused do not add up to the slabs";
        return nullptr;
    }

    // Bytes of the slabs and of the large blocks out.
    std::size_t memory_bytes() const noexcept {
        std::size_t words = large_words_;
        for (const Slab& slab : slabs_) words += slab.words;
        return words * sizeof(std::uint32_t) + slabs_.capacity() * sizeof(Slab);
    }

private:
    struct Free {
        Free* next;
    };
    struct Slab {
        std::unique_ptr<std::uint32_t[]> words_at;
        std::size_t words;
    };
    // The first slab holds 128 words (512 bytes), so a diff of a few edges
    // stays small; each next one doubles, up to 16 Ki words (64 KiB).
    static constexpr std::size_t kFirstSlabWords = 128;
    static constexpr std::size_t kLastSlabWords = 16 * 1024;
    static constexpr std::size_t kClasses = kMaxSmallWords / kWordsPerStep;
    static_assert(kWordsPerStep * sizeof(std::uint32_t) >= sizeof(Free) &&
                      kWordsPerStep * sizeof(std::uint32_t) % alignof(Free) == 0,
                  "a free block holds the next pointer, suitably aligned");

    static std::size_t round_up(std::size_t words) noexcept {
        return (words + kWordsPerStep - 1) / kWordsPerStep * kWordsPerStep;
    }
    static std::size_t size_class(std::size_t words) noexcept { return round_up(words) / kWordsPerStep - 1; }

    // words: a multiple of kWordsPerStep, at most kMaxSmallWords.
    void push_free(std::uint32_t* block, std::size_t words) noexcept {
        assert(words % kWordsPerStep == 0 && words > 0 && is_small(words));
        const std::size_t c = size_class(words);
        free_[c] = ::new (static_cast<void*>(block)) Free{free_[c]};
        stocked_ |= 1u << c;
    }

    // A free block of a larger size, its front handed out and the rest put
    // on the free list of the rest's size; null when there is none. Tables
    // grow through several sizes, and without this the blocks they leave
    // behind would wait for a request of exactly their size.
    std::uint32_t* split_larger(std::size_t words) noexcept {
        const std::uint32_t larger = stocked_ & (~std::uint32_t{0} << (size_class(words) + 1));
        if (larger == 0) return nullptr;
        const std::size_t c = static_cast<std::size_t>(std::countr_zero(larger));
        Free* block = free_[c];
        free_[c] = block->next;
        if (block->next == nullptr) stocked_ &= ~(1u << c);
        auto* front = reinterpret_cast<std::uint32_t*>(block);
        push_free(front + words, (c + 1) * kWordsPerStep - words);
        return front;
    }

    [[gnu::noinline]] void new_slab() {
        const std::size_t words =
            slabs_.empty() ? kFirstSlabWords : std::min(slabs_.back().words * 2, kLastSlabWords);
        if (slabs_.size() == slabs_.capacity()) slabs_.reserve(slabs_.empty() ? 8 : slabs_.size() * 2);
        auto block = std::make_unique_for_overwrite<std::uint32_t[]>(words);
        // Nothing below throws. The rest of the current slab is too small for
        // the block asked for; it goes to the free list of its size.
        if (slab_left_ >= kWordsPerStep) push_free(slab_next_, slab_left_ / kWordsPerStep * kWordsPerStep);
        slab_next_ = block.get();
        slab_left_ = words;
        slabs_.push_back(Slab{std::move(block), words});
    }

    std::vector<Slab> slabs_;
    std::array<Free*, kClasses> free_{};
    std::uint32_t* slab_next_ = nullptr;
    std::size_t slab_left_ = 0;
    std::size_t large_words_ = 0;
    // Bit c set exactly when free_[c] holds a block, so that a request finds
    // the smallest larger block to split without walking the lists.
    std::uint32_t stocked_ = 0;
};

}  // namespace tarnu::detail
