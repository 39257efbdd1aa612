#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace tarnu {

// Append-only storage for many short texts. Texts are written in place
// through a raw pointer and never move afterwards, so callers may keep
// pointers into it for as long as the arena lives. Storage comes in blocks
// that are never copied or grown; a text never spans two blocks.
class TextArena {
public:
    static constexpr std::size_t kMinBlock = 4 * 1024;
    static constexpr std::size_t kMaxBlock = 1024 * 1024;

    TextArena() = default;
    TextArena(TextArena&& other) noexcept
        : blocks_(std::move(other.blocks_)),
          pos_(std::exchange(other.pos_, nullptr)),
          end_(std::exchange(other.end_, nullptr)) {}
    TextArena& operator=(TextArena&& other) noexcept {
        blocks_ = std::move(other.blocks_);
        pos_ = std::exchange(other.pos_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
        return *this;
    }

    // Room for at least `bytes` bytes; `expected_more` (bytes the caller
    // still expects to store after these) sizes a new block when one is
    // needed. Follow with commit(end of what was written).
    char* room(std::size_t bytes, std::size_t expected_more) {
        if (static_cast<std::size_t>(end_ - pos_) < bytes) {
            const std::size_t size = std::max(bytes, std::clamp(expected_more, kMinBlock, kMaxBlock));
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            pos_ = blocks_.back().get();
            end_ = pos_ + size;
        }
        return pos_;
    }

    void commit(char* written_end) noexcept { pos_ = written_end; }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* pos_ = nullptr;
    char* end_ = nullptr;
};

}  // namespace tarnu
