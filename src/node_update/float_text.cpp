#include "node_update/float_text.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace tarnu {

namespace {

// Digits before the point above which the text switches to scientific form,
// and the count of leading fractional zeros beyond which it does the same.
constexpr int kMaxIntegerDigits = 13;
constexpr int kMaxLeadingZeros = 5;

// The layout copies fixed-size blocks and then advances by the part that
// counts, which keeps it free of length-dependent calls and loops. Every
// block stays inside the kFloatTextCapacity bytes of the output.
constexpr char kZeros[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                             '0', '0', '0', '0', '0', '0', '0', '0'};

}  // namespace

char* write_float_text(char* out, float value) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if ((bits & 0x7F800000U) == 0x7F800000U) [[unlikely]] {
        return std::to_chars(out, out + kFloatTextCapacity, value).ptr;
    }
    char* pos = out;
    if (bits >> 31) {
        *pos++ = '-';
        value = std::bit_cast<float>(bits & 0x7FFFFFFFU);
    }

    // The standard library's shortest scientific form, "d.dddde±XX" (or "de±XX"
    // for a single digit), supplies the digits and the decimal exponent; only
    // the layout is done here. A float's decimal exponent always has two
    // digits. Zero needs no case of its own: "0e+00" lays out as "0.0".
    char sci[kFloatTextCapacity] = {};
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* const e = sci_end - 4;
    int exponent10 = (e[2] - '0') * 10 + (e[3] - '0');  // of the first digit
    if (e[1] == '-') exponent10 = -exponent10;

    // At most nine digits. Moving the first one onto the point (or onto the
    // 'e' of a single digit, already read) makes them contiguous in place.
    sci[1] = sci[0];
    const char* const digits = sci + 1;
    int n = e - sci > 1 ? static_cast<int>(e - sci) - 1 : 1;
    while (n > 1 && digits[n - 1] == '0') --n;

    const int before_point = exponent10 + 1;  // p = n + k
    const int k = before_point - n;           // |value| = digits * 10^k

    if (k >= 0 && before_point <= kMaxIntegerDigits) {  // 100.0, 1000000000000.0
        std::memcpy(pos, digits, 16);
        pos += n;
        std::memcpy(pos, kZeros, 16);
        pos += k;
        std::memcpy(pos, ".0", 2);
        return pos + 2;
    }
    if (before_point > 0 && before_point <= kMaxIntegerDigits) {  // 123456.79
        std::memcpy(pos, digits, 16);
        pos += before_point;
        *pos++ = '.';
        std::memcpy(pos, digits + before_point, 8);
        return pos + (n - before_point);
    }
    if (before_point <= 0 && before_point >= -kMaxLeadingZeros) {  // 0.001
        std::memcpy(pos, "0.", 2);
        pos += 2;
        std::memcpy(pos, kZeros, 8);
        pos -= before_point;
        std::memcpy(pos, digits, 16);
        return pos + n;
    }
    // Scientific: 1e13, 1.5e-7, 3.4028235e38.
    std::memcpy(pos, digits, 1);
    pos += 1;
    if (n > 1) {
        *pos++ = '.';
        std::memcpy(pos, digits + 1, 8);
        pos += n - 1;
    }
    *pos++ = 'e';
    if (exponent10 < 0) {
        *pos++ = '-';
        exponent10 = -exponent10;
    }
    if (exponent10 >= 10) *pos++ = static_cast<char>('0' + exponent10 / 10);
    *pos++ = static_cast<char>('0' + exponent10 % 10);
    return pos;
}

}  // namespace tarnu
