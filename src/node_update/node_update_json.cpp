#include "node_update/node_update_json.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "node_update/float_text.hpp"

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
// Everything but the two texts: braces, keys, colons, commas, the texts'
// quotation marks, the longest number, three colours and "false".
constexpr std::size_t kFixedBound = 2 + 54 + 6 + 4 + kFloatTextCapacity + 9 + 5;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// True when any of the eight bytes is below 0x20, a quotation mark or a
// backslash. Each test is exact for the word as a whole (whatever the byte
// order of the load), though not for which byte it flags.
constexpr bool needs_escape(std::uint64_t w) noexcept {
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t quote = (q - kOnes) & ~q;
    const std::uint64_t b = w ^ (kOnes * '\\');
    const std::uint64_t backslash = (b - kOnes) & ~b;
    return ((below_space | quote | backslash) & kHighBits) != 0;
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
        if (!needs_escape(word)) {
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
        if (!needs_escape(word)) {
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
    if (!is_finite(size)) return put(out, "null", 4);
    if constexpr (Exact) {
        char scratch[kFloatTextCapacity];
        return put(out, scratch, static_cast<std::size_t>(write_float_text(scratch, size) - scratch));
    }
    return write_float_text(out, size);
}


// Bytes that escaping adds to a text: one for a short escape, five for \u00xx.
std::size_t escape_growth(std::string_view text) noexcept {
    std::size_t growth = 0;
    const char* src = text.data();
    const char* const end = src + text.size();
    while (end - src >= 8) {
        std::uint64_t word;
        std::memcpy(&word, src, 8);
        if (needs_escape(word)) {
            for (int i = 0; i < 8; ++i) {
                const char kind = kEscapes[static_cast<unsigned char>(src[i])];
                growth += kind == 0 ? 0 : kind == 'u' ? 5 : 1;
            }
        }
        src += 8;
    }
    for (; src != end; ++src) {
        const char kind = kEscapes[static_cast<unsigned char>(*src)];
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

std::size_t text_bound(const std::optional<std::string_view>& text) noexcept {
    return text ? text->size() * kMaxEscapedBytesPerByte : 0;
}

// size_text, when given, is the size's text made in advance.
template <bool Exact>
char* render(char* out, const NodeUpdateView& update, const std::string_view* size_text) noexcept {
    bool first = true;
    *out++ = '{';
    if (update.label) {
        out = put_key(out, first, "\"label\":");
        out = put_json_string<Exact>(out, *update.label);
    }
    if (update.size) {
        out = put_key(out, first, "\"size\":");
        if (size_text == nullptr) {
            out = put_size<Exact>(out, *update.size);
        } else if constexpr (Exact) {
            out = put(out, size_text->data(), size_text->size());
        } else {
            // A size text is at most 17 bytes and its source is padded: one
            // fixed 32-byte copy, the excess overwritten by what follows.
            std::memcpy(out, size_text->data(), kFloatTextCapacity);
            out += size_text->size();
        }
    }
    if (update.url) {
        out = put_key(out, first, "\"url\":");
        out = put_json_string<Exact>(out, *update.url);
    }
    if (update.red) {
        out = put_key(out, first, "\"red\":");
        out = put_uint8<Exact>(out, *update.red);
    }
    if (update.green) {
        out = put_key(out, first, "\"green\":");
        out = put_uint8<Exact>(out, *update.green);
    }
    if (update.blue) {
        out = put_key(out, first, "\"blue\":");
        out = put_uint8<Exact>(out, *update.blue);
    }
    if (update.show_label) {
        out = put_key(out, first, "\"showLabel\":");
        out = put_bool<Exact>(out, *update.show_label);
    }
    *out++ = '}';
    return out;
}

}  // namespace

std::size_t node_update_json_bound(const NodeUpdateView& update) noexcept {
    return kFixedBound + text_bound(update.label) + text_bound(update.url);
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
    if (update.label) {
        length += 9 + 2 + update.label->size() + escape_growth(*update.label);
        ++members;
    }
    if (update.size) {
        length += 8 + size_text_length;
        ++members;
    }
    if (update.url) {
        length += 7 + 2 + update.url->size() + escape_growth(*update.url);
        ++members;
    }
    for (const auto& colour : {update.red, update.green, update.blue}) {
        if (colour) {
            length += 1U + (*colour >= 10) + (*colour >= 100);
            ++members;
        }
    }
    if (update.red) length += 7;
    if (update.green) length += 9;
    if (update.blue) length += 8;
    if (update.show_label) {
        length += 13 + (*update.show_label ? 4 : 5);
        ++members;
    }
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
