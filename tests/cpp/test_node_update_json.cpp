#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "node_update/node_update_json.hpp"
#include "node_update_text.hpp"

namespace tarnu {
namespace {

// The text, checked against the counted length.
std::string json(const NodeUpdate& update) {
    std::string out = testing::node_update_json_text(update);
    EXPECT_EQ(node_update_json_length(update), out.size()) << out;
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

TEST(NodeUpdateJson, WritesAfterWhatTheBufferHolds) {
    std::string out = "prefix" + std::string(64, '\x7e');
    NodeUpdate update;
    update.green = 42;
    char* end = write_node_update_json_exact(out.data() + 6, update);
    end = write_node_update_json_exact(end, NodeUpdate{});
    out.resize(static_cast<std::size_t>(end - out.data()));
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

// A byte-at-a-time escaper straight from the table, to check the word-at-a-
// time scan of the writer on texts long enough to use it.
std::string reference_json_string(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += c;
        } else if (b == '\b' || b == '\t' || b == '\n' || b == '\f' || b == '\r') {
            out += '\\';
            out += "btn?fr"[b - 8];
        } else if (b < 0x20) {
            out += "\\u00";
            out += "0123456789abcdef"[b >> 4];
            out += "0123456789abcdef"[b & 0xF];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

TEST(NodeUpdateJson, LongRandomTextsEscapeLikeTheByteTable) {
    std::mt19937 rng(77);
    for (int i = 0; i < 20000; ++i) {
        // Mostly plain bytes, so that clean and dirty 8-byte words alternate;
        // lengths cross several word boundaries. Every third pair is clean but
        // for at most one byte anywhere, the first and last included, which
        // is what the counting's whole-text test has to catch.
        std::string label(rng() % 70, '\0');
        std::string url(rng() % 30, '\0');
        const bool sparse = i % 3 == 0;
        for (std::string* text : {&label, &url}) {
            for (char& c : *text) {
                const unsigned r = rng() % 16;
                c = static_cast<char>(r < 12 ? 0x20 + rng() % 0x60 : r < 14 ? rng() % 0x20 : r < 15 ? "\"\\"[rng() % 2] : 0x80 + rng() % 0x80);
                if (sparse && (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\')) c = 'x';
            }
            if (sparse && !text->empty() && rng() % 2 == 0)
                (*text)[rng() % text->size()] = "\"\\\n\x01\x1f"[rng() % 5];
        }
        NodeUpdate update;
        update.label = label;
        update.url = url;
        ASSERT_EQ(json(update),
                  "{\"label\":" + reference_json_string(label) + ",\"url\":" + reference_json_string(url) + "}");
    }
}

}  // namespace
}  // namespace tarnu
