#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "basics/id_hash.hpp"

namespace tarnu {

// A node id is a UUID held as its 16 bytes, in the order the caller gave them.
// Every 16-byte value is valid; nothing looks at version or variant bits.
struct NodeId {
    std::array<std::uint8_t, 16> bytes{};

    static NodeId from_bytes(const void* data) noexcept {
        NodeId id;
        std::memcpy(id.bytes.data(), data, 16);
        return id;
    }

    friend bool operator==(const NodeId& a, const NodeId& b) noexcept {
        return std::memcmp(a.bytes.data(), b.bytes.data(), 16) == 0;
    }
};

static_assert(sizeof(NodeId) == 16);

// Found by argument-dependent lookup wherever a table keys on node ids.
inline std::uint64_t hash_id(const NodeId& id) noexcept { return hash_16_bytes(id.bytes.data()); }

}  // namespace tarnu
