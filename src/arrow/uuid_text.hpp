#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnu {

// UUID text into its 16 bytes, the bytes of Python's uuid.UUID(text).bytes:
// the canonical 36-character form (8-4-4-4-12 hex digits with hyphens) or
// the 32 hex digits alone, either case. Returns false, `out` unspecified, for
// anything else. No branch per digit: a bad digit is found by or-ing every
// looked-up value, whose high bit only an invalid character sets.
namespace uuid_text_detail {

struct HexTable {
    std::uint8_t value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = 0x80;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<std::uint8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<std::uint8_t>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    }
};
inline constexpr HexTable kHex{};

// Where byte k's two digits start in each form.
inline constexpr std::uint8_t kHyphenatedStart[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};

}  // namespace uuid_text_detail

inline bool parse_uuid_text(const char* text, std::size_t size, std::uint8_t* out) noexcept {
    using namespace uuid_text_detail;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::uint8_t bad = 0;
    if (size == 36) {
        if ((s[8] != '-') | (s[13] != '-') | (s[18] != '-') | (s[23] != '-')) return false;
        for (int k = 0; k < 16; ++k) {
            const std::uint8_t high = kHex.value[s[kHyphenatedStart[k]]];
            const std::uint8_t low = kHex.value[s[kHyphenatedStart[k] + 1]];
            bad |= high | low;
            out[k] = static_cast<std::uint8_t>((high << 4) | (low & 0x0F));
        }
    } else if (size == 32) {
        for (int k = 0; k < 16; ++k) {
            const std::uint8_t high = kHex.value[s[2 * k]];
            const std::uint8_t low = kHex.value[s[2 * k + 1]];
            bad |= high | low;
            out[k] = static_cast<std::uint8_t>((high << 4) | (low & 0x0F));
        }
    } else {
        return false;
    }
    return (bad & 0x80) == 0;
}

}  // namespace tarnu
