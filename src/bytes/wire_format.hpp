#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "basics/node_id.hpp"

// The encoding's building blocks, shared by the writer (graph_diff_to_bytes.*)
// and the reader (graph_diff_from_bytes.cpp): little-endian u64 counts and
// lengths, ids as the u64 16 and their 16 bytes, f32 weights.
namespace tarnu::encoding_detail {

inline constexpr std::size_t kCountBytes = 8;
inline constexpr std::size_t kIdBytes = 8 + 16;  // length 16, then the id
inline constexpr std::size_t kWeightBytes = 4;
inline constexpr std::size_t kGroupHeadBytes = kIdBytes + kCountBytes;

// Little-endian to native and back: the same swap, or none.
inline std::uint64_t to_little_endian(std::uint64_t value) noexcept {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(value);
    return value;
}

inline std::uint32_t to_little_endian(std::uint32_t value) noexcept {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(value);
    return value;
}

inline std::uint8_t* put_u64(std::uint8_t* out, std::uint64_t value) noexcept {
    value = to_little_endian(value);
    std::memcpy(out, &value, 8);
    return out + 8;
}

inline std::uint8_t* put_id(std::uint8_t* out, const NodeId& id) noexcept {
    out = put_u64(out, 16);
    std::memcpy(out, id.bytes.data(), 16);
    return out + 16;
}

inline std::uint8_t* put_weight(std::uint8_t* out, float weight) noexcept {
    const std::uint32_t bits = to_little_endian(std::bit_cast<std::uint32_t>(weight));
    std::memcpy(out, &bits, 4);
    return out + 4;
}

inline std::uint64_t load_u64(const std::uint8_t* at) noexcept {
    std::uint64_t value;
    std::memcpy(&value, at, 8);
    return to_little_endian(value);
}

inline float load_f32(const std::uint8_t* at) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, at, 4);
    return std::bit_cast<float>(to_little_endian(bits));
}

}  // namespace tarnu::encoding_detail
