#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnu {

// UUID text into its 16 bytes, the bytes of Python's uuid.UUID(text).bytes:
// the canonical 36-character form (8-4-4-4-12 hex digits with hyphens) or
// the 32 hex digits alone, either case. Returns false, `out` unspecified, for
// anything else.
//
// With SSE2 (every x86-64) sixteen digits are checked and converted per
// vector, with no branch per digit. Elsewhere each output byte is one lookup
// of its two characters, read as one 16-bit load, in a table of every
// character pair; a pair that is not two hex digits has bit 8 set, and the
// bits of all 16 are or-ed and tested once. Of that table's 128 KiB only the
// lines of hex pairs are ever touched (about 4 KiB).
namespace uuid_text_detail {

constexpr int hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct PairTable {
    std::uint16_t value[65536];
    // Indexed by a little-endian 16-bit load: the first character is the
    // low byte.
    constexpr PairTable() : value() {
        for (int i = 0; i < 65536; ++i) {
            const int high = hex_digit(i & 0xFF);
            const int low = hex_digit(i >> 8);
            value[i] = high < 0 || low < 0 ? 0x100 : static_cast<std::uint16_t>(high << 4 | low);
        }
    }
};
inline constexpr PairTable kPairs{};

// Where byte k's two digits start in the canonical form.
inline constexpr std::uint8_t kHyphenatedStart[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};

inline std::uint16_t pair_at(const char* text, std::size_t at) noexcept {
    std::uint16_t pair;
    std::memcpy(&pair, text + at, 2);
    return kPairs.value[pair];
}

#if defined(__SSE2__)
// Sixteen hex characters into eight bytes, one per 16-bit lane (the first
// digit in the low byte), with `ok` all ones in the lanes of hex digits.
// Bytes from 0x80 up compare as negative and so fail both ranges.
inline __m128i hex16_to_lanes(__m128i x, __m128i& ok) noexcept {
    const __m128i lower = _mm_or_si128(x, _mm_set1_epi8(0x20));
    // Above the range's start and not above its end: a "less than" would
    // be compiled as a compare and a negation.
    const __m128i digit =
        _mm_andnot_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('9')), _mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)));
    const __m128i letter =
        _mm_andnot_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('f')), _mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)));
    ok = _mm_or_si128(digit, letter);
    const __m128i nibbles =
        _mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(0x0F)), _mm_and_si128(letter, _mm_set1_epi8(9)));
    return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(nibbles, 4), _mm_set1_epi16(0x00F0)), _mm_srli_epi16(nibbles, 8));
}

inline __m128i load16(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

}  // namespace uuid_text_detail

inline bool parse_uuid_text(const char* text, std::size_t size, std::uint8_t* out) noexcept {
    using namespace uuid_text_detail;
#if defined(__SSE2__)
    // Sixteen digits per vector. The canonical form's digits are gathered
    // around its hyphens by overlapping loads and masks: every load stays
    // inside the 36 characters.
    __m128i first, second;
    if (size == 36) {
        // The hyphens, text[8], [13], [18] and [23], are bytes 0, 5, 10 and
        // 15 of the sixteen from text + 8: one compare for the four.
        const int hyphens = _mm_movemask_epi8(_mm_cmpeq_epi8(load16(text + 8), _mm_set1_epi8('-')));
        if ((hyphens & 0x8421) != 0x8421) return false;
        const __m128i keep8 = _mm_set_epi32(0, 0, -1, -1);
        const __m128i keep12 = _mm_set_epi32(0, -1, -1, -1);
        const __m128i keep4 = _mm_set_epi32(0, 0, 0, -1);
        first = _mm_or_si128(_mm_and_si128(keep8, load16(text)),
                             _mm_or_si128(_mm_and_si128(_mm_andnot_si128(keep8, keep12), load16(text + 1)),
                                          _mm_andnot_si128(keep12, load16(text + 2))));
        second = _mm_or_si128(_mm_and_si128(keep4, load16(text + 19)), _mm_andnot_si128(keep4, load16(text + 20)));
    } else if (size == 32) {
        first = load16(text);
        second = load16(text + 16);
    } else {
        return false;
    }
    // Both halves packed into one store, their checks into one test.
    __m128i ok_first, ok_second;
    const __m128i a = hex16_to_lanes(first, ok_first);
    const __m128i b = hex16_to_lanes(second, ok_second);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
    return _mm_movemask_epi8(_mm_and_si128(ok_first, ok_second)) == 0xFFFF;
#else
    std::uint16_t bad = 0;
    if (size == 36) {
        if ((text[8] != '-') | (text[13] != '-') | (text[18] != '-') | (text[23] != '-')) return false;
        for (int k = 0; k < 16; ++k) {
            const std::uint16_t v = pair_at(text, kHyphenatedStart[k]);
            bad |= v;
            out[k] = static_cast<std::uint8_t>(v);
        }
    } else if (size == 32) {
        for (int k = 0; k < 16; ++k) {
            const std::uint16_t v = pair_at(text, 2 * static_cast<std::size_t>(k));
            bad |= v;
            out[k] = static_cast<std::uint8_t>(v);
        }
    } else {
        return false;
    }
    return (bad & 0x100) == 0;
#endif
}

}  // namespace tarnu
