#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarnu {

// The key of the id hash: random, drawn once per process when the library is
// loaded. Ids usually come from outside the program, and with a fixed key
// anyone could choose ids that all land in one run of the id table, making
// every call cost in proportion to the number of such ids. Tables only look
// ids up through the hash; no output depends on it, since every order the
// record shows comes from its own dense lists, so the key changes no byte of
// any encoding.
struct IdHashKey {
    std::uint64_t k0;
    std::uint64_t k1;
    std::uint64_t k2;
    std::uint64_t k3;
};
extern const IdHashKey id_hash_key;

namespace hash_detail {

// The 128-bit product of a and b, folded to 64 bits.
inline std::uint64_t folded_product(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    // The same product, with mul's two output registers named: from the
    // 128-bit type GCC 12 kept the high word on the stack across the id
    // hash's next steps.
    std::uint64_t low;
    std::uint64_t high;
    asm("mulq %3" : "=a"(low), "=d"(high) : "a"(a), "rm"(b) : "cc");
    return low ^ high;
#else
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#endif
}

}  // namespace hash_detail

// Keyed hash of a 16-byte key: the two halves, each mixed with key words,
// meet in a folded 64x64->128-bit product, which a second product with the
// other key words spreads over every output bit. Without the key an attacker
// cannot steer the output; sequential and time-ordered UUIDs (long shared
// prefixes, one or two changing bytes) fill a table evenly.
inline std::uint64_t hash_16_bytes(const void* data) noexcept {
    std::uint64_t lo;
    std::uint64_t hi;
    std::memcpy(&lo, data, 8);
    std::memcpy(&hi, static_cast<const unsigned char*>(data) + 8, 8);
    const IdHashKey& key = id_hash_key;
    const std::uint64_t mixed = hash_detail::folded_product(lo ^ key.k0, hi ^ key.k1);
    return hash_detail::folded_product(mixed ^ key.k2, std::rotl(lo, 32) ^ hi ^ key.k3);
}

}  // namespace tarnu
