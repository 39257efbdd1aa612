#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "node_update/node_update_json.hpp"

namespace tarnu {
namespace {

std::string json(const NodeUpdate& update) {
    std::string out;
    append_node_update_json(out, update);
    return out;
}

std::string label_json(std::string_view label) {
    NodeUpdate update;
    update.label = std::string(label);
    return json(update);
}

TEST(NodeUpdateJson, WritesTheWorkedExample) {
    NodeUpdate update;
    update.label = "A";
    update.size = 2.0F;
    update.red = 255;
    update.green = 0;
    update.show_label = true;
    const std::string text = json(update);
    EXPECT_EQ(text, R"({"label":"A","size":2.0,"red":255,"green":0,"showLabel":true})");
    EXPECT_EQ(text.size(), 61U);
}

TEST(NodeUpdateJson, WritesPresentMembersInFixedOrderAndLeavesAbsentOnesOut) {
    EXPECT_EQ(json(NodeUpdate{}), "{}");

    NodeUpdate all;
    all.show_label = false;  // filled back to front: order comes from the writer
    all.blue = 3;
    all.green = 20;
    all.red = 100;
    all.url = "http://x/y";
    all.size = -0.5F;
    all.label = "";
    EXPECT_EQ(json(all),
              R"({"label":"","size":-0.5,"url":"http://x/y","red":100,"green":20,"blue":3,"showLabel":false})");

    NodeUpdate only_false;
    only_false.show_label = false;
    EXPECT_EQ(json(only_false), R"({"showLabel":false})");

    NodeUpdate zero_red;
    zero_red.red = 0;
    EXPECT_EQ(json(zero_red), R"({"red":0})");

    NodeUpdate full_blue;
    full_blue.blue = 255;
    EXPECT_EQ(json(full_blue), R"({"blue":255})");

    NodeUpdate url_only;
    url_only.url = "";
    EXPECT_EQ(json(url_only), R"({"url":""})");
}

TEST(NodeUpdateJson, WritesNonFiniteSizesAsNull) {
    for (float size : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::quiet_NaN()}) {
        NodeUpdate update;
        update.size = size;
        EXPECT_EQ(json(update), R"({"size":null})");
    }
    NodeUpdate update;
    update.size = 1e13F;
    update.blue = 7;
    EXPECT_EQ(json(update), R"({"size":1e13,"blue":7})");
}

TEST(NodeUpdateJson, EscapesTextByteForByte) {
    EXPECT_EQ(label_json("A\"\n"), "{\"label\":\"A\\\"\\n\"}");
    EXPECT_EQ(label_json(std::string_view("\x01", 1)), "{\"label\":\"\\u0001\"}");
    EXPECT_EQ(label_json("\xC3\xA9/"), "{\"label\":\"\xC3\xA9/\"}");
    EXPECT_EQ(label_json("ab\\cd\tef\"\"gh"), "{\"label\":\"ab\\\\cd\\tef\\\"\\\"gh\"}");

    NodeUpdate url;
    url.url = std::string("\0\x1f\x7f", 3);
    EXPECT_EQ(json(url), "{\"url\":\"\\u0000\\u001f\x7f\"}");
}

TEST(NodeUpdateJson, EscapesEveryByteValueByTheTable) {
    for (int b = 0; b < 256; ++b) {
        std::string expected;
        switch (b) {
            case '"': expected = "\\\""; break;
            case '\\': expected = "\\\\"; break;
            case 0x08: expected = "\\b"; break;
            case 0x09: expected = "\\t"; break;
            case 0x0A: expected = "\\n"; break;
            case 0x0C: expected = "\\f"; break;
            case 0x0D: expected = "\\r"; break;
            default:
                if (b < 0x20) {
                    const char hex[] = "0123456789abcdef";
                    expected = std::string("\\u00") + hex[b >> 4] + hex[b & 0xF];
                } else {
                    expected = std::string(1, static_cast<char>(b));
                }
        }
        const std::string byte(1, static_cast<char>(b));
        // Alone, and between unescaped runs that must be copied around it.
        EXPECT_EQ(label_json(byte), "{\"label\":\"" + expected + "\"}") << "byte " << b;
        EXPECT_EQ(label_json("xy" + byte + "z" + byte), "{\"label\":\"xy" + expected + "z" + expected + "\"}")
            << "byte " << b;
    }
}

TEST(NodeUpdateJson, AppendsAfterWhatTheBufferHolds) {
    std::string out = "prefix";
    NodeUpdate update;
    update.green = 42;
    append_node_update_json(out, update);
    append_node_update_json(out, NodeUpdate{});
    EXPECT_EQ(out, R"(prefix{"green":42}{})");
}

TEST(NodeUpdateJson, RawWriterStaysWithinItsBound) {
    // The widest update: every byte of both texts escaped six-fold, the
    // longest number, three-digit colours, false.
    NodeUpdate widest;
    widest.label = std::string(37, '\x01');
    widest.size = -1.2345679e-6F;
    widest.url = std::string(5, '\x1f');
    widest.red = widest.green = widest.blue = 255;
    widest.show_label = false;
    for (const NodeUpdate& update : {widest, NodeUpdate{}}) {
        const std::size_t bound = node_update_json_bound(update);
        constexpr char kGuard = '\x7e';
        std::string area(bound + 64, kGuard);
        char* const end = write_node_update_json(area.data(), update);
        EXPECT_LE(static_cast<std::size_t>(end - area.data()), bound);
        EXPECT_EQ(area.find_first_not_of(kGuard, bound), std::string::npos) << "wrote past the bound";
        EXPECT_EQ(std::string(area.data(), end), json(update));
    }
}

// A strict reader for exactly the text the writer must produce: no
// whitespace, members only in the fixed order, only the allowed escapes.
class StrictReader {
public:
    explicit StrictReader(std::string_view text) : text_(text) {}

    // The update read back; a non-finite size comes back as NaN (null).
    std::optional<NodeUpdate> read() {
        NodeUpdate u;
        if (!take('{')) return std::nullopt;
        bool first = true;
        const auto member = [&](std::string_view key) {
            if (pos_ == text_.size() || text_[pos_] == '}') return false;
            const std::size_t start = pos_;
            if (!first && !take(',')) return false;
            std::string name;
            if (!read_string(name) || name != key || !take(':')) {
                pos_ = start;
                return false;
            }
            first = false;
            return true;
        };
        if (member("label") && !read_string(u.label.emplace())) return std::nullopt;
        if (member("size") && !read_size(u.size.emplace())) return std::nullopt;
        if (member("url") && !read_string(u.url.emplace())) return std::nullopt;
        if (member("red") && !read_uint8(u.red.emplace())) return std::nullopt;
        if (member("green") && !read_uint8(u.green.emplace())) return std::nullopt;
        if (member("blue") && !read_uint8(u.blue.emplace())) return std::nullopt;
        if (member("showLabel")) {
            if (take_word("true")) {
                u.show_label = true;
            } else if (take_word("false")) {
                u.show_label = false;
            } else {
                return std::nullopt;
            }
        }
        if (!take('}') || pos_ != text_.size()) return std::nullopt;
        return u;
    }

private:
    bool take(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool take_word(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    bool read_string(std::string& out) {
        if (!take('"')) return false;
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;  // control bytes must be escaped
            if (c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            if (pos_ == text_.size()) return false;
            switch (text_[pos_++]) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case 'b': out.push_back('\b'); break;
                case 't': out.push_back('\t'); break;
                case 'n': out.push_back('\n'); break;
                case 'f': out.push_back('\f'); break;
                case 'r': out.push_back('\r'); break;
                case 'u': {
                    // Only control bytes without a short form may use \u.
                    if (!take_word("00")) return false;
                    unsigned value = 0;
                    for (int i = 0; i < 2; ++i) {
                        if (pos_ == text_.size()) return false;
                        const char h = text_[pos_++];
                        if (h >= '0' && h <= '9') {
                            value = value * 16 + static_cast<unsigned>(h - '0');
                        } else if (h >= 'a' && h <= 'f') {
                            value = value * 16 + static_cast<unsigned>(h - 'a' + 10);
                        } else {
                            return false;
                        }
                    }
                    if (value >= 0x20 || value == 8 || value == 9 || value == 10 || value == 12 || value == 13) {
                        return false;
                    }
                    out.push_back(static_cast<char>(value));
                    break;
                }
                default: return false;
            }
        }
        return false;
    }
    bool read_size(float& out) {
        if (take_word("null")) {
            out = std::numeric_limits<float>::quiet_NaN();
            return true;
        }
        const char* begin = text_.data() + pos_;
        const auto [end, ec] = std::from_chars(begin, text_.data() + text_.size(), out);
        if (ec != std::errc()) return false;
        pos_ += static_cast<std::size_t>(end - begin);
        return true;
    }
    bool read_uint8(std::uint8_t& out) {
        const char* begin = text_.data() + pos_;
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(begin, text_.data() + text_.size(), value);
        const std::size_t length = static_cast<std::size_t>(end - begin);
        if (ec != std::errc() || value > 255 || (length > 1 && *begin == '0')) return false;
        out = static_cast<std::uint8_t>(value);
        pos_ += length;
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

TEST(NodeUpdateJson, RandomUpdatesReadBackStrictly) {
    std::mt19937 rng(77);
    const auto coin = [&rng] { return (rng() & 1) != 0; };
    const auto random_text = [&rng] {
        std::string s(rng() % 40, '\0');
        for (char& c : s) {
            // Mostly plain ASCII, with control bytes, quotes, backslashes and high bytes mixed in.
            const unsigned r = rng() % 10;
            c = static_cast<char>(r < 6 ? 0x20 + rng() % 0x5F : r < 8 ? rng() % 0x20 : r < 9 ? "\"\\/"[rng() % 3] : 0x7F + rng() % 0x81);
        }
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        NodeUpdate u;
        if (coin()) u.label = random_text();
        if (coin()) u.size = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (coin()) u.url = random_text();
        if (coin()) u.red = static_cast<std::uint8_t>(rng());
        if (coin()) u.green = static_cast<std::uint8_t>(rng());
        if (coin()) u.blue = static_cast<std::uint8_t>(rng());
        if (coin()) u.show_label = coin();

        const std::string text = json(u);
        std::optional<NodeUpdate> back = StrictReader(text).read();
        ASSERT_TRUE(back.has_value()) << text;
        NodeUpdate expected = u;
        if (u.size && !std::isfinite(*u.size)) {
            ASSERT_TRUE(back->size.has_value() && std::isnan(*back->size)) << text;
            expected.size = back->size = 0.0F;
        }
        if (u.size && *u.size == 0.0F) {  // == cannot tell -0.0 from 0.0
            ASSERT_EQ(std::signbit(*u.size), std::signbit(*back->size)) << text;
        }
        ASSERT_EQ(*back, expected) << text;
    }
}

}  // namespace
}  // namespace tarnu
