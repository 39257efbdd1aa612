#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnu {

// Length of the well-formed sequence starting at bytes[i], or of its maximal
// subpart when it is ill-formed (then *valid is false). Byte ranges follow the
// table of well-formed UTF-8 byte sequences.
inline std::size_t utf8_sequence(std::string_view bytes, std::size_t i, bool* valid) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
    const std::uint8_t lead = byte(i);
    *valid = true;
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t second_low = 0x80;
    std::uint8_t second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_low = 0xA0;
        if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_low = 0x90;
        if (lead == 0xF4) second_high = 0x8F;
    } else {
        *valid = false;
        return 1;
    }
    std::size_t taken = 1;
    for (; taken < length; ++taken) {
        if (i + taken >= bytes.size()) {
            *valid = false;
            return taken;
        }
        const std::uint8_t next = byte(i + taken);
        const std::uint8_t low = taken == 1 ? second_low : 0x80;
        const std::uint8_t high = taken == 1 ? second_high : 0xBF;
        if (next < low || next > high) {
            *valid = false;
            return taken;
        }
    }
    return length;
}

}  // namespace tarnu
