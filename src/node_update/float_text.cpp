#include "node_update/float_text.hpp"

#include <array>
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

// --- Shortest digits -------------------------------------------------------
// The shortest decimal digits that read back as the float, the nearest to its
// exact value when several of that length do (ties to an even last digit), by
// Ryu's interval method for 32-bit floats (Ulf Adams, 2018): the float's
// rounding interval, scaled by a power of ten chosen so that the shortest
// digits are at most a few steps away, is narrowed one digit at a time.
// Powers of five come as their leading 59 (inverse) or 61 bits, which with a
// 24-bit significand gives every scaled bound exactly (the method's proof;
// tests/cpp/test_float_text.cpp compares it with the standard library's
// std::to_chars over a sample, and it was compared over all 2^32 floats).

constexpr int kPow5InvBits = 59;
constexpr int kPow5Bits = 61;

// floor(2^(bits(5^q) - 1 + kPow5InvBits) / 5^q) + 1, q = 0..30.
constexpr std::uint64_t kPow5Inv[31] = {
    0x0800000000000001U, 0x0666666666666667U, 0x051EB851EB851EB9U, 0x04189374BC6A7EFAU, 0x068DB8BAC710CB2AU,
    0x053E2D6238DA3C22U, 0x0431BDE82D7B634EU, 0x06B5FCA6AF2BD216U, 0x055E63B88C230E78U, 0x044B82FA09B5A52DU,
    0x06DF37F675EF6EAEU, 0x057F5FF85E592558U, 0x0465E6604B7A8447U, 0x0709709A125DA071U, 0x05A126E1A84AE6C1U,
    0x0480EBE7B9D58567U, 0x0734ACA5F6226F0BU, 0x05C3BD5191B525A3U, 0x049C97747490EAE9U, 0x0760F253EDB4AB0EU,
    0x05E72843249088D8U, 0x04B8ED0283A6D3E0U, 0x078E480405D7B966U, 0x060B6CD004AC9452U, 0x04D5F0A66A23A9DBU,
    0x07BCB43D769F762BU, 0x063090312BB2C4EFU, 0x04F3A68DBC8F03F3U, 0x07EC3DAF94180651U, 0x065697BFA9ACD1DAU,
    0x051212FFBAF0A7E2U
};
// The leading kPow5Bits bits of 5^i, i = 0..47.
constexpr std::uint64_t kPow5[48] = {
    0x1000000000000000U, 0x1400000000000000U, 0x1900000000000000U, 0x1F40000000000000U, 0x1388000000000000U,
    0x186A000000000000U, 0x1E84800000000000U, 0x1312D00000000000U, 0x17D7840000000000U, 0x1DCD650000000000U,
    0x12A05F2000000000U, 0x174876E800000000U, 0x1D1A94A200000000U, 0x12309CE540000000U, 0x16BCC41E90000000U,
    0x1C6BF52634000000U, 0x11C37937E0800000U, 0x16345785D8A00000U, 0x1BC16D674EC80000U, 0x1158E460913D0000U,
    0x15AF1D78B58C4000U, 0x1B1AE4D6E2EF5000U, 0x10F0CF064DD59200U, 0x152D02C7E14AF680U, 0x1A784379D99DB420U,
    0x108B2A2C28029094U, 0x14ADF4B7320334B9U, 0x19D971E4FE8401E7U, 0x1027E72F1F128130U, 0x1431E0FAE6D7217CU,
    0x193E5939A08CE9DBU, 0x1F8DEF8808B02452U, 0x13B8B5B5056E16B3U, 0x18A6E32246C99C60U, 0x1ED09BEAD87C0378U,
    0x13426172C74D822BU, 0x1812F9CF7920E2B6U, 0x1E17B84357691B64U, 0x12CED32A16A1B11EU, 0x178287F49C4A1D66U,
    0x1D6329F1C35CA4BFU, 0x125DFA371A19E6F7U, 0x16F578C4E0A060B5U, 0x1CB2D6F618C878E3U, 0x11EFC659CF7D4B8DU,
    0x166BB7F0435C9E71U, 0x1C06A5EC5433C60DU, 0x118427B3B4A05BC8U
};

// Bits of 5^e (1 for e = 0); floor(log10(2^e)); floor(log10(5^e)).
constexpr int pow5_bits(int e) noexcept { return static_cast<int>((static_cast<std::uint32_t>(e) * 1217359U) >> 19) + 1; }
constexpr int log10_pow2(int e) noexcept { return static_cast<int>((static_cast<std::uint32_t>(e) * 78913U) >> 18); }
constexpr int log10_pow5(int e) noexcept { return static_cast<int>((static_cast<std::uint32_t>(e) * 732923U) >> 20); }

// floor(m * factor / 2^shift), 32 < shift.
inline std::uint32_t mul_shift(std::uint32_t m, std::uint64_t factor, int shift) noexcept {
    const std::uint64_t low = std::uint64_t{m} * static_cast<std::uint32_t>(factor);
    const std::uint64_t high = std::uint64_t{m} * (factor >> 32);
    return static_cast<std::uint32_t>(((low >> 32) + high) >> (shift - 32));
}

constexpr bool multiple_of_pow5(std::uint32_t value, int p) noexcept {
    int count = 0;
    while (value % 5 == 0) {
        value /= 5;
        ++count;
    }
    return count >= p;
}

struct Decimal {
    std::uint32_t digits;  // no trailing zeros but for zero itself
    int exponent;          // of the last digit
};

// `bits` is a finite, non-zero float without its sign.
Decimal shortest(std::uint32_t bits) noexcept {
    const std::uint32_t mantissa = bits & 0x7FFFFFU;
    const int biased = static_cast<int>(bits >> 23);
    const int e2 = (biased == 0 ? 1 : biased) - 127 - 23 - 2;
    const std::uint32_t m2 = biased == 0 ? mantissa : mantissa | 0x800000U;
    const bool accept_bounds = (m2 & 1) == 0;
    const std::uint32_t mv = 4 * m2;
    const std::uint32_t mp = 4 * m2 + 2;
    // The interval is narrower below a power of two.
    const std::uint32_t mm_shift = mantissa != 0 || biased <= 1;
    const std::uint32_t mm = 4 * m2 - 1 - mm_shift;

    std::uint32_t vr, vp, vm;
    int e10;
    bool vm_trailing_zeros = false;
    bool vr_trailing_zeros = false;
    std::uint32_t last_removed = 0;
    if (e2 >= 0) {
        const int q = log10_pow2(e2);
        e10 = q;
        const int shift = -e2 + q + kPow5InvBits + pow5_bits(q) - 1;
        vr = mul_shift(mv, kPow5Inv[q], shift);
        vp = mul_shift(mp, kPow5Inv[q], shift);
        vm = mul_shift(mm, kPow5Inv[q], shift);
        if (q != 0 && (vp - 1) / 10 <= vm / 10) {
            const int l = kPow5InvBits + pow5_bits(q - 1) - 1;
            last_removed = mul_shift(mv, kPow5Inv[q - 1], -e2 + q - 1 + l) % 10;
        }
        if (q <= 9) {
            if (mv % 5 == 0) {
                vr_trailing_zeros = multiple_of_pow5(mv, q);
            } else if (accept_bounds) {
                vm_trailing_zeros = multiple_of_pow5(mm, q);
            } else {
                vp -= multiple_of_pow5(mp, q);
            }
        }
    } else {
        const int q = log10_pow5(-e2);
        e10 = q + e2;
        const int i = -e2 - q;
        const int shift = q - (pow5_bits(i) - kPow5Bits);
        vr = mul_shift(mv, kPow5[i], shift);
        vp = mul_shift(mp, kPow5[i], shift);
        vm = mul_shift(mm, kPow5[i], shift);
        if (q != 0 && (vp - 1) / 10 <= vm / 10) {
            const int j = q - 1 - (pow5_bits(i + 1) - kPow5Bits);
            last_removed = mul_shift(mv, kPow5[i + 1], j) % 10;
        }
        if (q <= 1) {
            vr_trailing_zeros = true;
            if (accept_bounds) {
                vm_trailing_zeros = mm_shift == 1;
            } else {
                --vp;
            }
        } else if (q < 31) {
            vr_trailing_zeros = (mv & ((1U << (q - 1)) - 1)) == 0;
        }
    }

    int removed = 0;
    std::uint32_t output;
    if (vm_trailing_zeros || vr_trailing_zeros) [[unlikely]] {
        while (vp / 10 > vm / 10) {
            vm_trailing_zeros &= vm % 10 == 0;
            vr_trailing_zeros &= last_removed == 0;
            last_removed = vr % 10;
            vr /= 10;
            vp /= 10;
            vm /= 10;
            ++removed;
        }
        if (vm_trailing_zeros) {
            while (vm % 10 == 0) {
                vr_trailing_zeros &= last_removed == 0;
                last_removed = vr % 10;
                vr /= 10;
                vp /= 10;
                vm /= 10;
                ++removed;
            }
        }
        if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;
        output = vr + ((vr == vm && (!accept_bounds || !vm_trailing_zeros)) || last_removed >= 5);
    } else {
        while (vp / 10 > vm / 10) {
            last_removed = vr % 10;
            vr /= 10;
            vp /= 10;
            vm /= 10;
            ++removed;
        }
        output = vr + (vr == vm || last_removed >= 5);
    }
    // The digits that remain may still end in zeros (1e10 comes out as 10e9).
    int exponent = e10 + removed;
    while (output % 10 == 0) {
        output /= 10;
        ++exponent;
    }
    return {output, exponent};
}

constexpr std::array<char, 200> kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

constexpr std::uint32_t kPow10[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

// Decimal digits of v > 0: about log10(2) times its bits, less one when v
// lies below the power of ten that estimate names.
int digit_count(std::uint32_t v) noexcept {
    const int estimate = static_cast<int>((std::bit_width(v) * 1233U) >> 12);  // 1233 / 4096 ~ log10(2)
    return estimate + 1 - (v < kPow10[estimate]);
}

// The ten decimal digits of v, leading zeros included, in the first ten of
// 32 bytes (zeros after them): a fixed amount of work whatever v's length,
// so that the layout copies 16-byte blocks from any of the digits and no
// branch depends on the count of digits.
struct TenDigits {
    char bytes[32] = {};
    explicit TenDigits(std::uint32_t v) noexcept {
        for (int at = 8; at >= 0; at -= 2) {
            std::memcpy(bytes + at, &kDigitPairs[2 * (v % 100)], 2);
            v /= 100;
        }
    }
    // Where the last n digits start.
    const char* last(int n) const noexcept { return bytes + 10 - n; }
};

constexpr char kZeros[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                             '0', '0', '0', '0', '0', '0', '0', '0'};

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
    const std::uint32_t magnitude = bits & 0x7FFFFFFFU;
    // Zero lays out as the single digit 0: "0.0".
    const Decimal d = magnitude == 0 ? Decimal{0, 0} : shortest(magnitude);
    const int n = d.digits == 0 ? 1 : digit_count(d.digits);
    const int k = d.exponent;        // |value| = digits * 10^k
    const int before_point = n + k;  // digits before the point

    // The layouts copy fixed-size blocks and then advance by the part that
    // counts; every block stays inside the kFloatTextCapacity bytes of the
    // output (the sign, at most 13 digits or the 7 bytes of "0.00000", then
    // one 16-byte block).
    const TenDigits ten(d.digits);
    const char* const digits = ten.last(n);
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
        pos[before_point] = '.';
        std::memcpy(pos + before_point + 1, digits + before_point, 16);
        return pos + n + 1;
    }
    if (before_point <= 0 && before_point >= -kMaxLeadingZeros) {  // 0.001
        std::memcpy(pos, "0.", 2);
        std::memcpy(pos + 2, kZeros, 8);
        pos += 2 - before_point;
        std::memcpy(pos, digits, 16);
        return pos + n;
    }
    // Scientific: 1e13, 1.5e-7, 3.4028235e38: d[.ddd]e[-]x[x].
    std::memcpy(pos + 2, digits + 1, 16);
    pos[0] = digits[0];
    pos[1] = '.';
    pos += n == 1 ? 1 : n + 1;
    const int exponent10 = before_point - 1;
    const int magnitude10 = exponent10 < 0 ? -exponent10 : exponent10;
    *pos++ = 'e';
    *pos = '-';
    pos += exponent10 < 0;
    *pos = static_cast<char>('0' + magnitude10 / 10);
    pos += magnitude10 >= 10;
    *pos = static_cast<char>('0' + magnitude10 % 10);
    return pos + 1;
}

}  // namespace tarnu
