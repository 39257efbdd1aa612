#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace tarnu {

// Append-only storage for many short runs of bytes, written in place through
// a raw pointer. Storage comes in blocks that are never copied or grown, and a
// run never spans two blocks, so the content can be read back as a few large
// contiguous pieces in the order it was written.
class ByteArena {
public:
    static constexpr std::size_t kMinBlock = 4 * 1024;
    static constexpr std::size_t kMaxBlock = 1024 * 1024;

    ByteArena() = default;
    ByteArena(ByteArena&& other) noexcept
        : blocks_(std::move(other.blocks_)),
          pos_(std::exchange(other.pos_, nullptr)),
          end_(std::exchange(other.end_, nullptr)) {}
    ByteArena& operator=(ByteArena&& other) noexcept {
        blocks_ = std::move(other.blocks_);
        pos_ = std::exchange(other.pos_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
        return *this;
    }

    // Room for at least `bytes` bytes. `expected_more`, what the caller still
    // expects to store, sizes a new block when one is needed. Follow with
    // commit(end of what was written). Throws std::bad_alloc with the arena
    // unchanged.
    std::uint8_t* room(std::size_t bytes, std::size_t expected_more) {
        if (static_cast<std::size_t>(end_ - pos_) < bytes) {
            const std::size_t size = std::max(bytes, std::clamp(expected_more, kMinBlock, kMaxBlock));
            blocks_.push_back(Block{std::make_unique_for_overwrite<std::uint8_t[]>(size), 0});
            pos_ = blocks_.back().bytes.get();
            end_ = pos_ + size;
        }
        return pos_;
    }

    void commit(std::uint8_t* written_end) noexcept {
        blocks_.back().used += static_cast<std::size_t>(written_end - pos_);
        pos_ = written_end;
    }

    // f(const std::uint8_t* data, std::size_t size) for each block's content, in order.
    template <class F>
    void for_each_piece(F&& f) const {
        for (const Block& block : blocks_) f(block.bytes.get(), block.used);
    }

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t used;
    };

    std::vector<Block> blocks_;
    std::uint8_t* pos_ = nullptr;
    std::uint8_t* end_ = nullptr;
};

}  // namespace tarnu
