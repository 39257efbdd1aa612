// libFuzzer target over the node update text and the float text.
//
// The input is decoded into a NodeUpdate (presence bits, a raw 32-bit size,
// colours, a flag, and two texts built from arbitrary code points, so always
// valid UTF-8 but full of quotes, backslashes and control characters). Its
// rendering must be compact JSON that a strict parser here reads back to the
// same values, keys in the fixed order, the size as text that reads back to
// the same float bits (null for NaN and infinities).
//
// Every input also checks the float text of its four size bytes against an
// oracle that shares no code with the formatter: the exact decimal value from
// printf, the shortest digits found by trying every length, rounding by hand,
// strtof to read back, and the layout rules applied to those digits.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "node_update/float_text.hpp"
#include "node_update/node_update.hpp"
#include "node_update/node_update_json.hpp"
#include "node_update/node_update_store.hpp"
#include "node_update_text.hpp"

namespace {

using tarnu::NodeUpdate;

std::uint64_t updates_checked = 0;
std::uint64_t floats_checked = 0;

[[noreturn]] void fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "fuzz_json: %s in [%.*s]\n", what, static_cast<int>(text.size()), text.data());
    std::abort();
}

// --- the float oracle ---------------------------------------------------------

// Significant digits of `value`'s exact decimal expansion (no leading zeros)
// and the decimal exponent of the first one. A binary32 has at most 112
// significant decimal digits, so 130 after the point are always exact.
struct ExactDecimal {
    std::string digits;
    int exponent;
};

ExactDecimal exact_decimal(float value) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "%.130e", static_cast<double>(std::fabs(value)));
    ExactDecimal d;
    const char* p = buffer;
    d.digits.push_back(*p++);
    if (*p == '.') ++p;
    while (*p != 'e') d.digits.push_back(*p++);
    d.exponent = std::atoi(p + 1);
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    return d;
}

bool reads_back(const std::string& digits, int exponent, float value) {
    const std::string text = digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(exponent);
    const float parsed = std::strtof(text.c_str(), nullptr);
    return std::bit_cast<std::uint32_t>(parsed) == (std::bit_cast<std::uint32_t>(value) & 0x7FFFFFFFu);
}

// Adds one in the last place of an all-digit string; a carry out of the first
// digit gives "1" followed by zeros and raises the exponent.
std::string increment(std::string digits, int& exponent) {
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return digits;
        }
        digits[i] = '0';
    }
    ++exponent;
    return "1" + digits.substr(0, digits.size() - 1);
}

// How the exact digits beyond the first m compare with one half in the m-th place.
int rest_against_half(const std::string& digits, std::size_t m) {
    if (m >= digits.size()) return -1;
    if (digits[m] != '5') return digits[m] < '5' ? -1 : 1;
    for (std::size_t i = m + 1; i < digits.size(); ++i)
        if (digits[i] != '0') return 1;
    return 0;
}

// The shortest digits that read back as `value` (positive, finite, non-zero),
// the one nearest the exact value among those of that length, ties to even.
ExactDecimal shortest(float value) {
    const ExactDecimal exact = exact_decimal(value);
    for (std::size_t m = 1; m <= 9; ++m) {
        std::string low = exact.digits.substr(0, std::min(m, exact.digits.size()));
        low.resize(m, '0');
        const bool low_exact = m >= exact.digits.size();
        int high_exponent = exact.exponent;
        const std::string high = increment(low, high_exponent);
        const bool low_ok = reads_back(low, exact.exponent, value);
        const bool high_ok = !low_exact && reads_back(high, high_exponent, value);
        if (!low_ok && !high_ok) continue;
        bool take_high = high_ok && !low_ok;
        if (low_ok && high_ok) {
            const int half = rest_against_half(exact.digits, m);
            take_high = half > 0 || (half == 0 && (low.back() - '0') % 2 == 1);
        }
        ExactDecimal r = take_high ? ExactDecimal{high, high_exponent} : ExactDecimal{low, exact.exponent};
        while (r.digits.size() > 1 && r.digits.back() == '0') r.digits.pop_back();
        return r;
    }
    fail("no digit string of up to 9 digits reads back", exact.digits);
}

// The text the layout rules give for these digits.
std::string laid_out(bool negative, const ExactDecimal& d) {
    std::string out = negative ? "-" : "";
    const int n = static_cast<int>(d.digits.size());
    const int p = d.exponent + 1;  // digits before the point
    const int k = p - n;           // value = digits * 10^k
    if (k >= 0 && p <= 13) return out + d.digits + std::string(static_cast<std::size_t>(k), '0') + ".0";
    if (p > 0 && p <= 13) return out + d.digits.substr(0, p) + "." + d.digits.substr(p);
    if (p <= 0 && p >= -5) return out + "0." + std::string(static_cast<std::size_t>(-p), '0') + d.digits;
    out += d.digits.substr(0, 1);
    if (n > 1) out += "." + d.digits.substr(1);
    return out + "e" + std::to_string(p - 1);
}

std::string expected_float_text(float value) {
    const bool negative = std::signbit(value);
    if (value == 0.0f) return negative ? "-0.0" : "0.0";
    return laid_out(negative, shortest(std::fabs(value)));
}

void check_float_text(float value) {
    if (!std::isfinite(value)) return;
    // Exactly the capacity the formatter asks for, on the heap, so that
    // AddressSanitizer sees a write past it.
    const auto area = std::make_unique<char[]>(tarnu::kFloatTextCapacity);
    const char* end = tarnu::write_float_text(area.get(), value);
    const std::string_view got(area.get(), static_cast<std::size_t>(end - area.get()));
    if (got != expected_float_text(value)) fail("float text differs from the oracle's", got);
    ++floats_checked;
}

// --- a strict JSON reader ------------------------------------------------------

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    bool at_end() const { return pos_ == text_.size(); }
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void expect(char c) {
        if (peek() != c) fail("unexpected character", text_.substr(pos_));
        ++pos_;
    }
    bool take(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    // A JSON string, its escapes undone, as UTF-8.
    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            if (pos_ >= text_.size()) fail("unterminated string", text_);
            const auto c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') return out;
            if (c < 0x20) fail("raw control character in a string", text_);
            if (c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            const char e = text_[pos_++];
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': append_utf8(out, hex4()); break;
                default: fail("bad escape", text_);
            }
        }
    }

    // The text of a JSON number, checked against the grammar.
    std::string_view number() {
        const std::size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (peek() == '0') {
            ++pos_;
        } else if (digit()) {
            while (digit()) ++pos_;
        } else {
            fail("number without digits", text_.substr(start));
        }
        if (peek() == '.') {
            ++pos_;
            if (!digit()) fail("no digit after the point", text_.substr(start));
            while (digit()) ++pos_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (!digit()) fail("no digit in the exponent", text_.substr(start));
            while (digit()) ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

private:
    bool digit() const { return peek() >= '0' && peek() <= '9'; }

    std::uint32_t hex4() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<std::uint32_t>(c - 'A' + 10);
            else fail("bad \\u escape", text_);
        }
        return v;
    }

    static void append_utf8(std::string& out, std::uint32_t cp) {
        if (cp >= 0xD800 && cp < 0xE000) fail("surrogate escape", "");
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

void check_json(const NodeUpdate& update, std::string_view text) {
    JsonReader in(text);
    in.expect('{');
    bool first = true;
    const auto key = [&](std::string_view name) {
        if (!first) in.expect(',');
        first = false;
        if (in.string() != name) fail("key out of order or misspelt", text);
        in.expect(':');
    };
    if (update.label) {
        key("label");
        if (in.string() != *update.label) fail("label does not read back", text);
    }
    if (update.size) {
        key("size");
        const float size = *update.size;
        if (!std::isfinite(size)) {
            if (!in.take("null")) fail("non-finite size not null", text);
        } else {
            const std::string number(in.number());
            const float parsed = std::strtof(number.c_str(), nullptr);
            if (std::bit_cast<std::uint32_t>(parsed) != std::bit_cast<std::uint32_t>(size))
                fail("size does not read back to the same bits", text);
        }
    }
    if (update.url) {
        key("url");
        if (in.string() != *update.url) fail("url does not read back", text);
    }
    for (const auto& [name, colour] : {std::pair{"red", update.red}, std::pair{"green", update.green},
                                       std::pair{"blue", update.blue}}) {
        if (!colour) continue;
        key(name);
        const std::string_view number = in.number();
        if (number != std::to_string(*colour)) fail("colour differs", text);
    }
    if (update.show_label) {
        key("showLabel");
        if (!in.take(*update.show_label ? "true" : "false")) fail("showLabel differs", text);
    }
    in.expect('}');
    if (!in.at_end()) fail("bytes after the object", text);
}

// --- decoding the input ----------------------------------------------------------

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool exhausted() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t word() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }

    // Up to `limit` code points, as UTF-8: a byte below 0x80 is itself, any
    // other takes two more bytes to pick a code point above 0x7F (surrogates
    // moved out of the way).
    std::string text(std::size_t limit) {
        std::string out;
        for (std::size_t i = 0; i < limit && !exhausted(); ++i) {
            const std::uint8_t b = byte();
            if (b < 0x80) {
                if (b == 0x7F) break;  // ends the text early
                out.push_back(static_cast<char>(b));
                continue;
            }
            std::uint32_t cp = ((static_cast<std::uint32_t>(b & 0x7F) << 16) | (byte() << 8) | byte()) % 0x10FF80 + 0x80;
            if (cp >= 0xD800 && cp < 0xE000) cp += 0x800;
            if (cp < 0x800) {
                out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            } else if (cp < 0x10000) {
                out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            } else {
                out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            }
            if (cp >= 0x800) out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            else out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void report() {
    if (std::getenv("TARNU_FUZZ_STATS") != nullptr)
        std::fprintf(stderr, "fuzz_json: %llu updates and %llu float texts checked\n",
                     static_cast<unsigned long long>(updates_checked), static_cast<unsigned long long>(floats_checked));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t present = in.byte();
    const float size_value = std::bit_cast<float>(in.word());
    check_float_text(size_value);

    NodeUpdate update;
    if (present & 0x02) update.size = size_value;
    if (present & 0x08) update.red = in.byte();
    if (present & 0x10) update.green = in.byte();
    if (present & 0x20) update.blue = in.byte();
    if (present & 0x40) update.show_label = (in.byte() & 1) != 0;
    if (present & 0x01) update.label = in.text(4096);
    if (present & 0x04) update.url = in.text(4096);

    // The raw writer into exactly its bound, and the same writer given the
    // size's text made in advance, as the encoder calls it, which must agree
    // byte for byte.
    const std::size_t bound = tarnu::node_update_json_bound(update);
    const auto area = std::make_unique<char[]>(bound);
    const char* end = tarnu::write_node_update_json(area.get(), update);
    const std::string_view raw(area.get(), static_cast<std::size_t>(end - area.get()));
    char size_text[tarnu::kFloatTextCapacity];
    const std::size_t size_length = update.size ? tarnu::write_size_text(size_text, *update.size) : 0;
    const auto premade = std::make_unique<char[]>(bound);
    const std::string appended(
        premade.get(), tarnu::write_node_update_json(premade.get(), update, std::string_view(size_text, size_length)));
    if (appended != raw) fail("the text with the size's text made in advance differs from the raw writer's", appended);
    // The counted length, and the exact writer into exactly that much.
    if (tarnu::node_update_json_length(update) != raw.size()) fail("counted length differs", raw);
    const auto exact = std::make_unique<char[]>(raw.size());  // ASan sees a byte too many
    if (tarnu::write_node_update_json_exact(exact.get(), update) != exact.get() + raw.size() ||
        std::string_view(exact.get(), raw.size()) != raw)
        fail("exact writer differs", raw);
    // The store keeps the update (compared by its text: a NaN size is not
    // equal to itself) and the length as they were given.
    tarnu::NodeUpdateStore store;
    store.push_back(tarnu::NodeId{}, update);
    std::string stored = tarnu::testing::node_update_json_text(store.view(0));
    if (stored != raw || store.json_length(0) != raw.size() || store.json_bytes() != raw.size())
        fail("the store does not give the update back", raw);
    check_json(update, raw);

    ++updates_checked;
    return 0;
}
