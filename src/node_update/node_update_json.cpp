#include "node_update/node_update_json.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "node_update/float_text.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnu {

namespace {

// Rendering writes through a raw pointer into an area known to be large
// enough: sized by the exact length for the exact writer, and by that length
// plus kNodeUpdateJsonOverrun (or by the upper bound) for the fast one.

// For each byte, the character after the backslash of its short escape, 'u'
// for the six-byte \u00xx form, or 0 when the byte is copied as it is.
constexpr std::array<char, 256> kEscapes = [] {
    std::array<char, 256> table{};
    for (int b = 0; b < 0x20; ++b) table[b] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}();

constexpr std::size_t kMaxEscapedBytesPerByte = 6;  // \u00xx

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The high bit of each byte of w that is below 0x20, a quotation mark or a
// backslash (and possibly of bytes above such a byte): zero exactly when no
// byte of w needs an escape.
constexpr std::uint64_t escape_bits(std::uint64_t w) noexcept {
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t quote = (q - kOnes) & ~q;
    const std::uint64_t b = w ^ (kOnes * '\\');
    const std::uint64_t backslash = (b - kOnes) & ~b;
    return (below_space | quote | backslash) & kHighBits;
}

template <class Word>
Word load(const char* at) noexcept {
    Word word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

char* put(char* out, const char* bytes, std::size_t count) noexcept {
    std::memcpy(out, bytes, count);
    return out + count;
}

char* put_escaped_byte(char* out, unsigned char byte) noexcept {
    const char kind = kEscapes[byte];
    if (kind == 0) {
        *out = static_cast<char>(byte);
        return out + 1;
    }
    out[0] = '\\';
    out[1] = kind;
    if (kind != 'u') return out + 2;
    constexpr char kHex[] = "0123456789abcdef";
    out[2] = '0';
    out[3] = '0';
    out[4] = kHex[byte >> 4];
    out[5] = kHex[byte & 0xF];
    return out + 6;
}

// Needs 2 + 6 * text.size() bytes at `out`; Exact writes nothing past the
// closing quotation mark, otherwise up to 7 bytes more may be overwritten.
template <bool Exact>
char* put_json_string(char* out, std::string_view text) noexcept {
    *out++ = '"';
    const char* src = text.data();
    const char* const end = src + text.size();
    // Eight bytes at a time while they need no escape; a word that does is
    // done byte by byte.
    while (end - src >= 8) {
        std::uint64_t word;
        std::memcpy(&word, src, 8);
        if (escape_bits(word) == 0) {
            out = put(out, src, 8);
            src += 8;
            continue;
        }
        for (int i = 0; i < 8; ++i) out = put_escaped_byte(out, static_cast<unsigned char>(*src++));
    }
    // The last one to seven bytes of a text of at least eight: load the final
    // eight, shift the new bytes down and fill above them with a byte that
    // needs no escape; a clean tail is then one 8-byte store (the output has
    // room for six times the input).
    const auto rest = static_cast<unsigned>(end - src);
    if (!Exact && std::endian::native == std::endian::little && rest != 0 && text.size() >= 8) {
        std::uint64_t word;
        std::memcpy(&word, end - 8, 8);
        const unsigned filled_bits = 8 * rest;
        word = (word >> (64 - filled_bits)) | (kOnes * 'a') << filled_bits;
        if (escape_bits(word) == 0) {
            std::memcpy(out, &word, 8);
            out += rest;
            src = end;
        }
    }
    while (src != end) out = put_escaped_byte(out, static_cast<unsigned char>(*src++));
    *out++ = '"';
    return out;
}

// Colours and flags are written without branches on their values: those
// are as good as random, and every mispredicted branch costs more than the
// few stores it would save. Both write up to 4 or 5 bytes whatever the
// length they count; the fixed bound leaves room for that, and whatever
// comes next overwrites the excess. Exact writes only what it counts.
template <bool Exact>
char* put_uint8(char* out, std::uint8_t value) noexcept {
    const unsigned digits = 1U + (value >= 10) + (value >= 100);
    if constexpr (!Exact && std::endian::native == std::endian::little) {
        // "hto" in the low three bytes, shifted down past the leading zeros.
        std::uint32_t text = (std::uint32_t{'0'} + value / 100U) | (std::uint32_t{'0'} + value / 10U % 10U) << 8 |
                             (std::uint32_t{'0'} + value % 10U) << 16;
        text >>= 8 * (3 - digits);
        std::memcpy(out, &text, 4);
        return out + digits;
    }
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

template <bool Exact>
char* put_bool(char* out, bool value) noexcept {
    if constexpr (Exact) return value ? put(out, "true", 4) : put(out, "false", 5);
    std::memcpy(out, value ? "true" : "false", 5);
    return out + (value ? 4 : 5);
}

bool is_finite(float value) noexcept {
    return (std::bit_cast<std::uint32_t>(value) & 0x7F800000U) != 0x7F800000U;
}

// The float layout writes fixed-size blocks of up to kFloatTextCapacity
// bytes; Exact lays it out on the stack and copies what it counts.
template <bool Exact>
char* put_size(char* out, float size) noexcept {
    if constexpr (Exact) {
        char scratch[kFloatTextCapacity];
        return put(out, scratch, write_size_text(scratch, size));
    }
    return out + write_size_text(out, size);
}


// True when no byte of text needs an escape, which is what nearly every
// label and url is: one branch-free pass, 16 bytes at a time where SSE2 is
// there (every x86-64 has it), else 8. The last block overlaps the one before
// it rather than ending in a byte loop (a byte tested twice changes nothing),
// and a text shorter than 8 bytes is read as overlapping pieces with the rest
// of the word filled by a byte that needs no escape.
bool plain(std::string_view text) noexcept {
    const char* const p = text.data();
    const std::size_t n = text.size();
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i below_space = _mm_set1_epi8(0x1F);
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const auto flags = [&](const char* at) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            // max(x, 0x1F) == 0x1F exactly for the bytes below 0x20 (unsigned).
            const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, below_space), below_space);
            return _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)));
        };
        __m128i flagged = flags(p + n - 16);
        for (const char* at = p; at < p + n - 16; at += 16) flagged = _mm_or_si128(flagged, flags(at));
        return _mm_movemask_epi8(flagged) == 0;
    }
#endif
    std::uint64_t flagged = 0;
    if (n >= 8) {
        const char* const last = p + n - 8;
        for (const char* at = p; at < last; at += 8) flagged |= escape_bits(load<std::uint64_t>(at));
        flagged |= escape_bits(load<std::uint64_t>(last));
    } else if (n >= 4) {
        flagged = escape_bits(std::uint64_t{load<std::uint32_t>(p)} | std::uint64_t{load<std::uint32_t>(p + n - 4)} << 32);
    } else if (n != 0) {
        const std::uint64_t bytes = std::uint64_t{static_cast<unsigned char>(p[0])} |
                                    std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
                                    std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
        flagged = escape_bits(bytes | (kOnes * 'a') << 24);
    }
    return flagged == 0;
}

// Bytes that escaping adds to a text: one for a short escape, five for \u00xx.
std::size_t escape_growth(std::string_view text) noexcept {
    if (plain(text)) [[likely]]
        return 0;
    std::size_t growth = 0;
    for (const char c : text) {
        const char kind = kEscapes[static_cast<unsigned char>(c)];
        growth += kind == 0 ? 0 : kind == 'u' ? 5 : 1;
    }
    return growth;
}

// Writes the separator unless this is the first member, then the quoted key
// and its colon. Keys need no escaping, so each is one literal.
template <std::size_t N>
char* put_key(char* out, bool& first, const char (&quoted_key_colon)[N]) noexcept {
    if (!first) *out++ = ',';
    first = false;
    return put(out, quoted_key_colon, N - 1);
}

// --- per kind of property -------------------------------------------------
// The most a value of the kind takes without its texts' bytes (for the
// bound), the exact length of a value, and the writing of one. A float
// property whose text was made in advance is written from that text.

constexpr std::size_t value_bound(node_property::Text) noexcept { return 2; }  // the quotation marks
constexpr std::size_t value_bound(node_property::Float) noexcept { return kFloatTextCapacity; }
constexpr std::size_t value_bound(node_property::Colour) noexcept { return 3; }
constexpr std::size_t value_bound(node_property::Flag) noexcept { return 5; }  // false

std::size_t text_bound(node_property::Text, std::string_view text) noexcept {
    return text.size() * kMaxEscapedBytesPerByte;
}
template <class Kind, class Value>
std::size_t text_bound(Kind, const Value&) noexcept {
    return 0;
}

std::uint64_t value_length(node_property::Text, std::string_view text, const std::size_t*) noexcept {
    return 2 + text.size() + escape_growth(text);
}
std::uint64_t value_length(node_property::Float, float value, const std::size_t* text_length) noexcept {
    if (text_length != nullptr) return *text_length;
    char scratch[kFloatTextCapacity];
    return write_size_text(scratch, value);
}
std::uint64_t value_length(node_property::Colour, std::uint8_t value, const std::size_t*) noexcept {
    return 1U + (value >= 10) + (value >= 100);
}
std::uint64_t value_length(node_property::Flag, bool value, const std::size_t*) noexcept { return value ? 4 : 5; }

template <bool Exact>
char* put_value(char* out, node_property::Text, std::string_view text, const std::string_view*) noexcept {
    return put_json_string<Exact>(out, text);
}
template <bool Exact>
char* put_value(char* out, node_property::Float, float value, const std::string_view* text) noexcept {
    if (text == nullptr) return put_size<Exact>(out, value);
    if constexpr (Exact) return put(out, text->data(), text->size());
    // A size text is at most 17 bytes and its source is padded: one fixed
    // 32-byte copy, the excess overwritten by what follows.
    std::memcpy(out, text->data(), kFloatTextCapacity);
    return out + text->size();
}
template <bool Exact>
char* put_value(char* out, node_property::Colour, std::uint8_t value, const std::string_view*) noexcept {
    return put_uint8<Exact>(out, value);
}
template <bool Exact>
char* put_value(char* out, node_property::Flag, bool value, const std::string_view*) noexcept {
    return put_bool<Exact>(out, value);
}

// The text made in advance for property P, when the caller gave one: only
// size has one (the store formats it when it stores an update).
template <class P, class Text>
const Text* premade_for(const Text* premade) noexcept {
    if constexpr (std::is_same_v<P, node_property::size>) return premade;
    return nullptr;
}

// Everything but the texts' own bytes: braces, keys, colons, commas and the
// longest value of each property.
constexpr std::size_t kFixedBound = [] {
    std::size_t bound = 2 + (kNodePropertyCount - 1);
    for_each_node_property([&](auto property) {
        bound += sizeof property.quoted_json_key - 1 + value_bound(typename decltype(property)::Kind{});
    });
    return bound;
}();

// size_text, when given, is the size's text made in advance.
template <bool Exact>
char* render(char* out, const NodeUpdateView& update, const std::string_view* size_text) noexcept {
    bool first = true;
    *out++ = '{';
    for_each_node_property([&](auto property) {
        using P = decltype(property);
        if (const auto& value = P::of(update)) {
            out = put_key(out, first, P::quoted_json_key);
            out = put_value<Exact>(out, typename P::Kind{}, *value, premade_for<P>(size_text));
        }
    });
    *out++ = '}';
    return out;
}

}  // namespace

std::size_t node_update_json_bound(const NodeUpdateView& update) noexcept {
    std::size_t bound = kFixedBound;
    for_each_node_property([&](auto property) {
        if (const auto& value = property.of(update)) bound += text_bound(typename decltype(property)::Kind{}, *value);
    });
    return bound;
}

std::size_t write_size_text(char* out, float size) noexcept {
    if (!is_finite(size)) return static_cast<std::size_t>(put(out, "null", 4) - out);
    return static_cast<std::size_t>(write_float_text(out, size) - out);
}

std::uint64_t node_update_json_length(const NodeUpdateView& update) noexcept {
    char scratch[kFloatTextCapacity];
    return node_update_json_length(update, update.size ? write_size_text(scratch, *update.size) : 0);
}

std::uint64_t node_update_json_length(const NodeUpdateView& update, std::size_t size_text_length) noexcept {
    // Braces, and per member its quoted key, colon and comma (one comma too
    // many, taken back at the end).
    std::uint64_t length = 2;
    unsigned members = 0;
    for_each_node_property([&](auto property) {
        using P = decltype(property);
        if (const auto& value = P::of(update)) {
            length += (sizeof P::quoted_json_key - 1) + 1 +
                      value_length(typename P::Kind{}, *value, premade_for<P>(&size_text_length));
            ++members;
        }
    });
    return members == 0 ? length : length - 1;
}

char* write_node_update_json(char* out, const NodeUpdateView& update) noexcept {
    return render<false>(out, update, nullptr);
}

char* write_node_update_json_exact(char* out, const NodeUpdateView& update) noexcept {
    return render<true>(out, update, nullptr);
}

char* write_node_update_json(char* out, const NodeUpdateView& update, std::string_view size_text) noexcept {
    return render<false>(out, update, &size_text);
}

char* write_node_update_json_exact(char* out, const NodeUpdateView& update, std::string_view size_text) noexcept {
    return render<true>(out, update, &size_text);
}

}  // namespace tarnu
