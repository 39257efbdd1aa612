#include "node_update/node_update_json.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include "node_update/float_text.hpp"

namespace tarnu {

namespace {

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

void append_escape(std::string& out, unsigned char byte) {
    const char kind = kEscapes[byte];
    if (kind != 'u') {
        const char escape[2] = {'\\', kind};
        out.append(escape, 2);
        return;
    }
    constexpr char kHex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    out.append(escape, 6);
}

void append_uint8(std::string& out, std::uint8_t value) {
    char text[3];
    char* pos = text;
    if (value >= 100) *pos++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *pos++ = static_cast<char>('0' + value / 10 % 10);
    *pos++ = static_cast<char>('0' + value % 10);
    out.append(text, static_cast<std::size_t>(pos - text));
}

void append_size(std::string& out, float size) {
    if (!std::isfinite(size)) {
        out.append("null", 4);
        return;
    }
    char text[kFloatTextCapacity];
    out.append(text, static_cast<std::size_t>(write_float_text(text, size) - text));
}

// Appends the separator (unless this is the first member) and the quoted key
// with its colon. Keys need no escaping, so each is one literal.
template <std::size_t N>
void append_key(std::string& out, bool& first, const char (&quoted_key_colon)[N]) {
    if (!first) out.push_back(',');
    first = false;
    out.append(quoted_key_colon, N - 1);
}

void append_members(std::string& out, const NodeUpdate& update) {
    bool first = true;
    out.push_back('{');
    if (update.label) {
        append_key(out, first, "\"label\":");
        append_json_string(out, *update.label);
    }
    if (update.size) {
        append_key(out, first, "\"size\":");
        append_size(out, *update.size);
    }
    if (update.url) {
        append_key(out, first, "\"url\":");
        append_json_string(out, *update.url);
    }
    if (update.red) {
        append_key(out, first, "\"red\":");
        append_uint8(out, *update.red);
    }
    if (update.green) {
        append_key(out, first, "\"green\":");
        append_uint8(out, *update.green);
    }
    if (update.blue) {
        append_key(out, first, "\"blue\":");
        append_uint8(out, *update.blue);
    }
    if (update.show_label) {
        append_key(out, first, "\"showLabel\":");
        if (*update.show_label) {
            out.append("true", 4);
        } else {
            out.append("false", 5);
        }
    }
    out.push_back('}');
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* pos = run; pos != end; ++pos) {
        const auto byte = static_cast<unsigned char>(*pos);
        if (kEscapes[byte] == 0) [[likely]] continue;
        out.append(run, static_cast<std::size_t>(pos - run));
        append_escape(out, byte);
        run = pos + 1;
    }
    out.append(run, static_cast<std::size_t>(end - run));
    out.push_back('"');
}

void append_node_update_json(std::string& out, const NodeUpdate& update) {
    const std::size_t old_size = out.size();
    try {
        append_members(out, update);
    } catch (...) {
        out.resize(old_size);  // a failed append leaves no partial text behind
        throw;
    }
}

}  // namespace tarnu
