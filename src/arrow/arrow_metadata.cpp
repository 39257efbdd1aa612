// The pandas metadata of an Arrow schema: which of its columns hold a data
// frame's index. The metadata is the producer's and only a hint, so any
// text that is not what pandas writes gives no index columns, never an
// error: the columns are then read (and refused) as any others.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_import.hpp"

namespace tarnu {

namespace {

// Reads JSON text far enough to find one member of the top-level object.
// Every value it passes over is checked for its shape only; nesting deeper
// than kMaxDepth is taken as malformed rather than followed.
class JsonScanner {
public:
    explicit JsonScanner(std::string_view text) : text_(text) {}

    // The strings of the array at `key` of the top-level object (its other
    // items skipped), or nothing when the text is not such an object.
    std::optional<std::vector<std::string>> strings_at(std::string_view key) {
        std::vector<std::string> found;
        bool seen = false;
        if (!expect('{')) return std::nullopt;
        if (!peek('}')) {
            do {
                std::string name;
                if (!string(name) || !expect(':')) return std::nullopt;
                if (name == key && !seen) {
                    seen = true;
                    if (!strings(found)) return std::nullopt;
                } else if (!skip(0)) {
                    return std::nullopt;
                }
            } while (expect(','));
        }
        if (!expect('}')) return std::nullopt;
        return found;
    }

private:
    static constexpr int kMaxDepth = 32;

    void space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    bool peek(char c) {
        space();
        return at_ < text_.size() && text_[at_] == c;
    }
    bool expect(char c) {
        if (!peek(c)) return false;
        ++at_;
        return true;
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool code_unit(std::uint32_t& unit) {
        if (text_.size() - at_ < 4) return false;
        unit = 0;
        for (int k = 0; k < 4; ++k) {
            const int digit = hex(text_[at_++]);
            if (digit < 0) return false;
            unit = unit * 16 + static_cast<std::uint32_t>(digit);
        }
        return true;
    }
    static void append_utf8(std::string& out, std::uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    // A string, its escapes decoded (a lone surrogate is malformed: no
    // column's UTF-8 name could match it).
    bool string(std::string& out) {
        if (!expect('"')) return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ == text_.size()) return false;
            switch (const char e = text_[at_++]) {
                case '"': case '\\': case '/': out += e; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t unit;
                    if (!code_unit(unit)) return false;
                    if (unit >= 0xDC00 && unit < 0xE000) return false;
                    if (unit >= 0xD800 && unit < 0xDC00) {
                        std::uint32_t low;
                        if (text_.size() - at_ < 2 || text_[at_] != '\\' || text_[at_ + 1] != 'u') return false;
                        at_ += 2;
                        if (!code_unit(low) || low < 0xDC00 || low >= 0xE000) return false;
                        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(out, unit);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    // An array: its string items into `out`, any other item skipped.
    bool strings(std::vector<std::string>& out) {
        if (!expect('[')) return false;
        if (expect(']')) return true;
        do {
            if (peek('"')) {
                std::string item;
                if (!string(item)) return false;
                out.push_back(std::move(item));
            } else if (!skip(1)) {
                return false;
            }
        } while (expect(','));
        return expect(']');
    }

    bool skip(int depth) {
        if (depth > kMaxDepth) return false;
        space();
        if (at_ == text_.size()) return false;
        const char c = text_[at_];
        if (c == '"') {
            std::string ignored;
            return string(ignored);
        }
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++at_;
            if (expect(close)) return true;
            do {
                if (c == '{') {
                    std::string ignored;
                    if (!string(ignored) || !expect(':')) return false;
                }
                if (!skip(depth + 1)) return false;
            } while (expect(','));
            return expect(close);
        }
        // A number, true, false or null: its characters, loosely.
        const std::size_t start = at_;
        while (at_ < text_.size() && std::strchr("0123456789+-.eEtruefalsn", text_[at_]) != nullptr &&
               text_[at_] != '\0') {
            ++at_;
        }
        return at_ > start;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::vector<std::string> pandas_index_columns(const char* metadata) {
    if (metadata == nullptr) return {};
    // The interface's layout, in the host's byte order: a count of pairs,
    // then each key and value as a 32-bit length and its bytes.
    constexpr std::int64_t kMaxBytes = std::int64_t{1} << 31;
    std::int64_t read = 0;
    const auto length = [&](std::int32_t& out) {
        if (read + 4 > kMaxBytes) return false;
        std::memcpy(&out, metadata + read, 4);
        read += 4;
        return out >= 0 && read + out <= kMaxBytes;
    };
    std::int32_t pairs = 0;
    if (!length(pairs)) return {};
    for (std::int32_t p = 0; p < pairs; ++p) {
        std::int32_t key_size = 0, value_size = 0;
        if (!length(key_size)) return {};
        const std::string_view key(metadata + read, static_cast<std::size_t>(key_size));
        read += key_size;
        if (!length(value_size)) return {};
        const std::string_view value(metadata + read, static_cast<std::size_t>(value_size));
        read += value_size;
        if (key == "pandas") return JsonScanner(value).strings_at("index_columns").value_or(std::vector<std::string>{});
    }
    return {};
}

}  // namespace tarnu
