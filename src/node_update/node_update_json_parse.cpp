#include "node_update/node_update_json_parse.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "node_update/float_text.hpp"
#include "basics/utf8.hpp"

namespace tarnu {

std::optional<std::size_t> find_invalid_utf8(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: the common case in labels and URLs.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        bool valid = true;
        const std::size_t length = utf8_sequence(text, i, &valid);
        if (!valid) return i;
        i += length;
    }
    return std::nullopt;
}

namespace {

// Keys in the writer's order.
constexpr std::array<std::string_view, kNodePropertyCount> kKeys = [] {
    std::array<std::string_view, kNodePropertyCount> keys{};
    for_each_node_property([&](auto property) { keys[property.index] = property.json_key; });
    return keys;
}();

// "{JSON key of P}{Suffix}", in static storage: a reason that names its key.
template <class P, const std::string_view& Suffix>
struct KeyedReason {
    static constexpr std::array<char, P::json_key.size() + Suffix.size()> kText = [] {
        std::array<char, P::json_key.size() + Suffix.size()> text{};
        std::copy(P::json_key.begin(), P::json_key.end(), text.begin());
        std::copy(Suffix.begin(), Suffix.end(), text.begin() + P::json_key.size());
        return text;
    }();
    static constexpr std::string_view kView{kText.data(), kText.size()};
};
constexpr std::string_view kNotShortestFloat = " is not the shortest text of a float32, nor null";
constexpr std::string_view kNotTrueOrFalse = " is not true or false";

struct Failure {
    std::size_t offset;
    std::string_view reason;
};

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    void object(NodeUpdate& out) {
        expect('{', "not a JSON object");
        if (peek() == '}') {
            ++pos_;
        } else {
            int last = -1;
            while (true) {
                const int key = this->key(last);
                expect(':', "expected ':' after a key");
                value(key, out);
                last = key;
                if (peek() == '}') {
                    ++pos_;
                    break;
                }
                expect(',', "expected ',' or '}' after a value");
            }
        }
        if (pos_ != text_.size()) fail("bytes after the object");
    }

private:
    [[noreturn]] void fail(std::string_view reason) const { throw Failure{pos_, reason}; }
    [[noreturn]] void fail_at(std::size_t at, std::string_view reason) const { throw Failure{at, reason}; }

    static bool is_space(int c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    int peek() const noexcept { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1; }

    void expect(char c, std::string_view reason) {
        const int next = peek();
        if (next == c) {
            ++pos_;
            return;
        }
        if (next == -1) fail("the text ends inside the object");
        if (is_space(next)) fail("whitespace");
        fail(reason);
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    int key(int last) {
        const std::size_t at = pos_;
        expect('"', "expected a key");
        const std::size_t end = text_.find('"', pos_);
        if (end == std::string_view::npos) fail("the text ends inside a key");
        const std::string_view name = text_.substr(pos_, end - pos_);
        int index = -1;
        for (int i = 0; i < static_cast<int>(kKeys.size()); ++i)
            if (kKeys[i] == name) index = i;
        if (index < 0) fail_at(at, "unknown key");
        if (index == last || (index < last && (seen_ >> index & 1))) fail_at(at, "repeated key");
        if (index < last) fail_at(at, "key out of order");
        seen_ |= 1u << index;
        pos_ = end + 1;
        return index;
    }

    void value(int key, NodeUpdate& out) {
        if (is_space(peek())) fail("whitespace");
        for_each_node_property([&](auto property) {
            using P = decltype(property);
            if (static_cast<int>(P::index) == key) P::of(out) = value(property, typename P::Kind{});
        });
    }

    // The value of property P, by its kind.
    template <class P>
    std::string value(P, node_property::Text) {
        return string();
    }
    template <class P>
    float value(P, node_property::Float) {
        return number<P>();
    }
    template <class P>
    std::uint8_t value(P, node_property::Colour) {
        return colour();
    }
    template <class P>
    bool value(P, node_property::Flag) {
        if (literal("true")) return true;
        if (literal("false")) return false;
        fail(KeyedReason<P, kNotTrueOrFalse>::kView);
    }

    std::string string() {
        expect('"', "expected a string");
        std::string result;
        while (true) {
            const std::size_t run = pos_;
            while (pos_ < text_.size()) {
                const unsigned char c = static_cast<unsigned char>(text_[pos_]);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++pos_;
            }
            result.append(text_.data() + run, pos_ - run);
            const int c = peek();
            if (c == -1) fail("the text ends inside a string");
            if (c == '"') {
                ++pos_;
                return result;
            }
            if (c != '\\') fail("control byte not escaped");
            result.push_back(escape());
        }
    }

    // One escape, as the writer makes them: \" \\ \b \t \n \f \r, and \u00xx
    // in lower-case hex for the other bytes below 0x20.
    char escape() {
        const std::size_t at = pos_;
        ++pos_;
        constexpr std::string_view kShort = "\"\\btnfr";
        constexpr std::string_view kMeaning = "\"\\\b\t\n\f\r";
        const int c = peek();
        if (c == -1) fail("the text ends inside a string");
        if (const std::size_t k = kShort.find(static_cast<char>(c)); k != std::string_view::npos) {
            ++pos_;
            return kMeaning[k];
        }
        if (c != 'u' || text_.size() - pos_ < 5 || text_.substr(pos_, 3) != "u00")
            fail_at(at, "an escape the encoder does not write");
        const auto hex = [](char h) { return h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1; };
        const int high = hex(text_[pos_ + 3]);
        const int low = hex(text_[pos_ + 4]);
        const int byte = high * 16 + low;
        if (high < 0 || low < 0 || high > 1 || kMeaning.find(static_cast<char>(byte)) != std::string_view::npos)
            fail_at(at, "an escape the encoder does not write");
        pos_ += 5;
        return static_cast<char>(byte);
    }

    std::size_t token_end() const noexcept {
        std::size_t end = pos_;
        while (end < text_.size() && text_[end] != ',' && text_[end] != '}' && !is_space(text_[end])) ++end;
        return end;
    }

    template <class P>
    float number() {
        if (literal("null")) return std::numeric_limits<float>::quiet_NaN();
        const std::size_t end = token_end();
        const std::string_view token = text_.substr(pos_, end - pos_);
        float value = 0;
        const auto [stop, error] = std::from_chars(token.data(), token.data() + token.size(), value);
        char shortest[kFloatTextCapacity];
        if (error != std::errc() || stop != token.data() + token.size() || !std::isfinite(value) ||
            std::string_view(shortest, static_cast<std::size_t>(write_float_text(shortest, value) - shortest)) != token)
            fail(KeyedReason<P, kNotShortestFloat>::kView);
        pos_ = end;
        return value;
    }

    std::uint8_t colour() {
        const std::size_t end = token_end();
        const std::string_view token = text_.substr(pos_, end - pos_);
        unsigned value = 0;
        bool digits = !token.empty();
        for (char c : token) {
            if (c < '0' || c > '9') digits = false;
        }
        if (!digits) {
            if (token.size() > 1 && token[0] == '-' && token.find_first_not_of("0123456789", 1) == token.npos)
                fail("colour outside 0-255");
            fail("colour is not a decimal integer");
        }
        if (token.size() > 1 && token[0] == '0') fail("colour with a leading zero");
        if (token.size() > 3) fail("colour outside 0-255");
        for (char c : token) value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) fail("colour outside 0-255");
        pos_ = end;
        return static_cast<std::uint8_t>(value);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    unsigned seen_ = 0;
};

}  // namespace

std::optional<NodeTextError> parse_node_update_json(std::string_view text, NodeUpdate& out) {
    if (const auto bad = find_invalid_utf8(text)) return NodeTextError{*bad, "invalid UTF-8"};
    try {
        Parser(text).object(out);
    } catch (const Failure& failure) {
        return NodeTextError{failure.offset, failure.reason};
    }
    return std::nullopt;
}

}  // namespace tarnu
