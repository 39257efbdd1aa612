#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarnu {

// Hash of a 16-byte key with fixed constants and no per-run seed, so one
// sequence of operations gives one table layout, and one iteration order, on
// every run. The two halves meet in a 64x64->128-bit product, and the sum
// beside it keeps a zero half from wiping out the other; the final mix
// spreads a change in any single byte over every output bit, so sequential
// and time-ordered UUIDs (long shared prefixes, one or two changing bytes)
// fill a table evenly.
inline std::uint64_t hash_16_bytes(const void* data) noexcept {
    std::uint64_t lo;
    std::uint64_t hi;
    std::memcpy(&lo, data, 8);
    std::memcpy(&hi, static_cast<const unsigned char*>(data) + 8, 8);
    lo ^= 0x9e3779b97f4a7c15ull;
    hi ^= 0xc2b2ae3d27d4eb4full;
    const unsigned __int128 product = static_cast<unsigned __int128>(lo) * hi;
    std::uint64_t h = 16 + std::rotl(lo, 32) + hi +
                      (static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64));
    h ^= h >> 37;
    h *= 0x165667919e3779f9ull;
    h ^= h >> 32;
    return h;
}

}  // namespace tarnu
