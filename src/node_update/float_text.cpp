#include "node_update/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace tarnu {

namespace {

// Digits before the point above which the text switches to scientific form,
// and the count of leading fractional zeros below which it does the same.
constexpr int kMaxIntegerDigits = 13;
constexpr int kMaxLeadingZeros = 5;

char* fill_zeros(char* out, int count) noexcept {
    std::memset(out, '0', static_cast<std::size_t>(count));
    return out + count;
}

char* copy_digits(char* out, const char* digits, int count) noexcept {
    std::memcpy(out, digits, static_cast<std::size_t>(count));
    return out + count;
}

}  // namespace

char* write_float_text(char* out, float value) noexcept {
    if (!std::isfinite(value)) {
        return std::to_chars(out, out + kFloatTextCapacity, value).ptr;
    }
    char* pos = out;
    if (std::signbit(value)) {
        *pos++ = '-';
        value = -value;
    }
    if (value == 0.0F) {
        std::memcpy(pos, "0.0", 3);
        return pos + 3;
    }

    // The standard library's shortest scientific form, "d.ddddde±XX", supplies
    // the digits and the decimal exponent; only the layout is done here.
    char sci[kFloatTextCapacity];
    const auto [sci_end, ec] =
        std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    (void)ec;  // cannot fail: the scratch area fits every float

    char digits[16];
    int n = 0;
    const char* p = sci;
    for (; p != sci_end && *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    int exponent10 = 0;  // of the first digit
    std::from_chars(p + 1 + (p[1] == '+'), sci_end, exponent10);
    while (n > 1 && digits[n - 1] == '0') --n;

    const int before_point = exponent10 + 1;  // p = n + k
    const int k = before_point - n;          // value = digits * 10^k

    if (k >= 0 && before_point <= kMaxIntegerDigits) {
        pos = copy_digits(pos, digits, n);
        pos = fill_zeros(pos, k);
        std::memcpy(pos, ".0", 2);
        return pos + 2;
    }
    if (before_point > 0 && before_point <= kMaxIntegerDigits) {
        pos = copy_digits(pos, digits, before_point);
        *pos++ = '.';
        return copy_digits(pos, digits + before_point, n - before_point);
    }
    if (before_point <= 0 && before_point >= -kMaxLeadingZeros) {
        *pos++ = '0';
        *pos++ = '.';
        pos = fill_zeros(pos, -before_point);
        return copy_digits(pos, digits, n);
    }
    *pos++ = digits[0];
    if (n > 1) {
        *pos++ = '.';
        pos = copy_digits(pos, digits + 1, n - 1);
    }
    *pos++ = 'e';
    return std::to_chars(pos, out + kFloatTextCapacity, exponent10).ptr;
}

}  // namespace tarnu
