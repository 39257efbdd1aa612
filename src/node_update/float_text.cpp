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

// Hides a loop counter's progress from the optimizer, so that a short
// byte-by-byte move stays one: recognised as a memmove it would become a
// call and, worse, wide loads over bytes that were just stored one by one,
// which have to wait for those stores to reach the cache.
inline void opaque(int& i) noexcept {
#if defined(__GNUC__)
    asm("" : "+r"(i));
#endif
}

// Drops the point after the first digit: "d.ddd" becomes "dddd" over the
// first `count` digits.
inline void close_up(char* digits, int count) noexcept {
    for (int i = 1; i < count; opaque(++i)) digits[i] = digits[i + 1];
}

// Moves the digits of "d.ddd" (n of them) so that they start at `shift`,
// contiguous; shift >= 2, so the move goes from the last digit down.
inline void move_digits_right(char* text, int n, int shift) noexcept {
    for (int i = n - 1; i >= 1; opaque(--i)) text[shift + i] = text[i + 1];
    text[shift] = text[0];
}

}  // namespace

char* write_float_text(char* out, float value) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if ((bits & 0x7F800000U) == 0x7F800000U) [[unlikely]] {
        return std::to_chars(out, out + kFloatTextCapacity, value).ptr;
    }
    // Signs are written without branches: with random values any branch on
    // a sign is mispredicted half of the time.
    char* pos = out;
    *pos = '-';
    pos += bits >> 31;
    value = std::bit_cast<float>(bits & 0x7FFFFFFFU);

    // The standard library's shortest scientific form, "d.dddde±XX" (or "de±XX"
    // for a single digit), written straight into place, supplies the digits
    // and the decimal exponent; the layout then moves them where they belong.
    // A float's decimal exponent always has two digits. Zero needs no case of
    // its own: "0e+00" lays out as "0.0". The text is rearranged a byte at a
    // time (see opaque above).
    char* const end = std::to_chars(pos, out + kFloatTextCapacity, value, std::chars_format::scientific).ptr;
    char* const e = end - 4;
    const int magnitude10 = (e[2] - '0') * 10 + (e[3] - '0');
    const bool negative10 = e[1] == '-';
    const int exponent10 = negative10 ? -magnitude10 : magnitude10;  // of the first digit
    // Digits: pos[0], then pos[2] to pos[n] behind the point. The shortest
    // digits never end in a zero, apart from the single digit of zero.
    const int n = e - pos > 1 ? static_cast<int>(e - pos) - 1 : 1;

    const int before_point = exponent10 + 1;  // p = n + k
    const int k = before_point - n;           // |value| = digits * 10^k

    if (k >= 0 && before_point <= kMaxIntegerDigits) {  // 100.0, 1000000000000.0
        close_up(pos, n);
        pos += n;
        std::memcpy(pos, kZeros, 16);
        pos += k;
        std::memcpy(pos, ".0", 2);
        return pos + 2;
    }
    if (before_point > 0 && before_point <= kMaxIntegerDigits) {  // 123456.79
        close_up(pos, before_point);
        pos[before_point] = '.';
        return pos + n + 1;
    }
    if (before_point <= 0 && before_point >= -kMaxLeadingZeros) {  // 0.001
        const int shift = 2 - before_point;  // where the first digit goes
        move_digits_right(pos, n, shift);
        pos[0] = '0';
        pos[1] = '.';
        for (int i = 2; i < shift; ++i) pos[i] = '0';
        return pos + shift + n;
    }
    // Scientific: 1e13, 1.5e-7, 3.4028235e38. The digits stay; the exponent
    // loses its '+' and a leading zero.
    char* tail = e + 1;
    *tail = '-';
    tail += negative10;
    *tail = static_cast<char>('0' + magnitude10 / 10);
    tail += magnitude10 >= 10;
    *tail = static_cast<char>('0' + magnitude10 % 10);
    return tail + 1;
}

}  // namespace tarnu
