#pragma once

#include <array>
#include <cstdint>
#include <cstring>

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

}  // namespace tarnu
