#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tarnu {

// An owned run of bytes of a fixed size, allocated once. The bytes start out
// uninitialised (the encoder overwrites every one of them, and zeroing a large
// buffer first would touch every page twice).
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(std::size_t size)
        : data_(std::make_unique_for_overwrite<std::uint8_t[]>(size)), size_(size) {}

    std::uint8_t* data() noexcept { return data_.get(); }
    const std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<const std::uint8_t> bytes() const noexcept { return {data_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

}  // namespace tarnu
