// Rebuilding a record from its bytes (graph_diff_from_bytes) and cloning it:
// both give back a record that encodes to the same bytes, and that goes on
// like the original under further operations; anything that is not an
// encoding is refused with its offset and reason.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "bytes/graph_diff_from_bytes.hpp"
#include "bytes/graph_diff_to_bytes.hpp"
#include "diff_model.hpp"
#include "node_update/node_update_json.hpp"
#include "node_update/node_update_json_parse.hpp"
#include "node_update_text.hpp"

namespace tarnu {
namespace {

using testing::snapshot_of;

std::vector<std::uint8_t> encode(const GraphDiff& diff) {
    const DiffEncoding encoding(diff);
    std::vector<std::uint8_t> out(encoding.size());
    EXPECT_FALSE(encoding.write_to(out.data()).has_value());
    return out;
}

DecodeResult decode(const std::vector<std::uint8_t>& bytes) { return graph_diff_from_bytes(bytes.data(), bytes.size()); }

NodeId id_of(unsigned n) {
    NodeId id;
    id.bytes[0] = static_cast<std::uint8_t>(n);
    id.bytes[1] = static_cast<std::uint8_t>(n >> 8);
    id.bytes[15] = 0x77;
    return id;
}

// Random operations over few ids, with one hub that collects far more than
// a dense inner table holds, so hashed tables are restored and cloned too.
void random_operations(std::mt19937& rng, int count, std::vector<GraphDiff*> diffs) {
    for (int i = 0; i < count; ++i) {
        const unsigned kind = rng() % 16;
        const NodeId a = id_of(rng() % 4 == 0 ? 0 : rng() % 120);
        const NodeId b = id_of(rng() % 120);
        const float w = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        NodeUpdate u;
        if (rng() % 2) u.label = std::string(rng() % 5, 'x');
        // Finite sizes: a snapshot compares updates with ==, and NaN is not
        // equal to itself. Null sizes have their own test below.
        if (rng() % 2) u.size = static_cast<float>(rng() % 1000) / 8;
        if (rng() % 2) u.blue = static_cast<std::uint8_t>(rng());
        for (GraphDiff* d : diffs) {
            switch (kind) {
                case 0: d->set_node_update(a, u); break;
                case 1: d->delete_node(b); break;
                case 2:
                case 3: d->delete_edge(a, b); break;
                default: (void)d->add_edge(a, b, w);
            }
        }
    }
}

TEST(DiffRestore, RebuildsAndClonesRecordsThatGoOnLikeTheOriginal) {
    std::mt19937 rng(15);
    for (int round = 0; round < 60; ++round) {
        GraphDiff diff;
        random_operations(rng, static_cast<int>(rng() % 1500), {&diff});
        const std::vector<std::uint8_t> bytes = encode(diff);
        DecodeResult result = decode(bytes);
        ASSERT_TRUE(std::holds_alternative<GraphDiff>(result)) << std::get<DecodeError>(result).reason;
        GraphDiff& restored = std::get<GraphDiff>(result);
        GraphDiff copy = diff.clone();
        ASSERT_EQ(encode(restored), bytes) << "round " << round;
        ASSERT_EQ(encode(copy), bytes);
        EXPECT_EQ(restored.check_invariants(), "");
        EXPECT_EQ(copy.check_invariants(), "");
        EXPECT_EQ(restored.num_nodes(), diff.num_nodes());
        EXPECT_EQ(restored.num_edges(), diff.num_edges());
        {
            std::string p;
            ASSERT_TRUE(snapshot_of(restored, p) == snapshot_of(diff, p)) << "before, round " << round << p;
        }

        random_operations(rng, 400, {&diff, &restored, &copy});
        std::string problems;
        const auto expected = snapshot_of(diff, problems);
        EXPECT_TRUE(snapshot_of(restored, problems) == expected) << "round " << round;
        EXPECT_EQ(problems, "");
        EXPECT_EQ(encode(copy), encode(diff));  // same indices and rows: the same bytes
        EXPECT_EQ(restored.num_edges(), diff.num_edges());
    }
}

TEST(DiffRestore, KeepsSourcesWithoutTargetsAndNullSizes) {
    GraphDiff diff;
    NodeUpdate u;
    u.size = std::bit_cast<float>(0xff800000u);  // -inf, written as null
    diff.set_node_update(id_of(1), u);
    (void)diff.add_edge(id_of(2), id_of(3), 1.0f);
    diff.delete_node(id_of(3));
    const auto bytes = encode(diff);
    const DecodeResult result = decode(bytes);
    const auto& restored = std::get<GraphDiff>(result);
    EXPECT_EQ(restored.edges().new_or_updated().size(), 1u);
    EXPECT_EQ(restored.edges().new_or_updated().num_targets(), 0u);
    EXPECT_TRUE(std::isnan(*restored.nodes().find(id_of(1))->size));
    EXPECT_EQ(encode(restored), bytes);
}

// Little helpers that write an encoding by hand.
struct Writer {
    std::vector<std::uint8_t> out;
    Writer& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Writer& id(unsigned n) {
        u64(16);
        const NodeId i = id_of(n);
        out.insert(out.end(), i.bytes.begin(), i.bytes.end());
        return *this;
    }
    Writer& text(std::string_view t) {
        u64(t.size());
        out.insert(out.end(), t.begin(), t.end());
        return *this;
    }
    Writer& weight() { return u64(0).trim(4); }
    Writer& trim(std::size_t n) {
        out.resize(out.size() - n);
        return *this;
    }
};

std::string refusal(const std::vector<std::uint8_t>& bytes) {
    const DecodeResult result = decode(bytes);
    if (std::holds_alternative<GraphDiff>(result)) return "accepted";
    const DecodeError& e = std::get<DecodeError>(result);
    return std::to_string(e.offset) + ": " + e.reason;
}

TEST(DiffRestore, RefusesWhatIsNotAnEncodingWithOffsetAndReason) {
    const auto node = [](std::string_view json) { return Writer().u64(1).id(1).text(json).u64(0).u64(0).u64(0).out; };
    EXPECT_EQ(refusal({}), "0: truncated: node entries needs 8 bytes, 0 left");
    EXPECT_EQ(refusal(Writer().u64(0).u64(0).u64(0).u64(0).u64(0).out), "32: 8 bytes left over after the last section");
    EXPECT_EQ(refusal(Writer().u64(std::uint64_t{1} << 60).u64(0).u64(0).u64(0).out).substr(0, 22), "0: truncated: count 11");
    EXPECT_EQ(refusal(Writer().u64(0).u64(1).u64(17).u64(0).u64(0).u64(0).trim(0).out),
              "16: deleted node id length 17, expected 16");
    EXPECT_EQ(refusal(Writer().u64(1).id(1).u64(99).u64(0).u64(0).u64(0).out), "32: text length 99 runs past the end");
    EXPECT_EQ(refusal(node("{\"label\":\"\xff\"}")), "50: node text: invalid UTF-8");
    EXPECT_EQ(refusal(node("{\"size\":1.0,\"label\":\"a\"}")), "52: node text: key out of order");
    EXPECT_EQ(refusal(node("{\"red\":1,\"red\":1}")), "49: node text: repeated key");
    EXPECT_EQ(refusal(node("{\"colour\":1}")), "41: node text: unknown key");
    EXPECT_EQ(refusal(node("{ }")), "41: node text: whitespace");
    EXPECT_EQ(refusal(node("{\"red\":256}")), "47: node text: colour outside 0-255");
    EXPECT_EQ(refusal(node("{\"size\":1.50}")), "48: node text: size is not the shortest text of a float32, nor null");
    EXPECT_EQ(refusal(node("{\"label\":\"\\u0041\"}")), "50: node text: an escape the encoder does not write");
    EXPECT_EQ(refusal(Writer().u64(1).id(1).text("{}").u64(1).id(1).u64(0).u64(0).out),
              "50: deleted node: node both updated and deleted");
    EXPECT_EQ(refusal(Writer().u64(0).u64(1).id(2).u64(1).id(1).u64(1).id(2).weight().u64(0).out),
              "80: edge target: pending edge with a deleted endpoint");
    EXPECT_EQ(refusal(Writer().u64(0).u64(0).u64(1).id(1).u64(1).id(2).weight().u64(1).id(1).u64(1).id(2).out),
              "124: deleted-edge target: edge both pending and deleted");
    EXPECT_EQ(refusal(Writer().u64(0).u64(0).u64(0).u64(1).id(1).u64(0).out), "56: empty group of deleted edges");
    // An empty group of pending edges stands only beside deleted edges of the
    // same source (delete_node turned its last target into one).
    EXPECT_EQ(refusal(Writer().u64(0).u64(0).u64(1).id(1).u64(0).u64(0).out),
              "24: edge source: no targets and no deleted edges");
    EXPECT_EQ(refusal(Writer().u64(0).u64(0).u64(1).id(1).u64(0).u64(1).id(2).u64(1).id(1).out),
              "24: edge source: no targets and no deleted edges");
    EXPECT_EQ(refusal(Writer().u64(0).u64(2).id(1).id(1).u64(0).u64(0).out), "40: deleted node: listed twice");
    EXPECT_EQ(refusal(Writer().u64(0).u64(0).u64(1).id(1).u64(2).id(2).weight().id(2).weight().u64(0).out),
              "84: edge target: listed twice");
}

TEST(DiffRestore, NodeTextsReadBackExactlyWhatTheWriterWrites) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        NodeUpdate u;
        if (rng() % 2) {
            std::string label;
            for (unsigned n = rng() % 12; n > 0; --n) label.push_back(static_cast<char>(rng() % 128));
            u.label = label + "\xc3\xa9/\x7f";
        }
        if (rng() % 2) u.size = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (rng() % 2) u.url = "";
        if (rng() % 2) u.red = static_cast<std::uint8_t>(rng());
        if (rng() % 2) u.green = 0;
        if (rng() % 2) u.show_label = rng() % 2 == 0;
        const std::string text = testing::node_update_json_text(u);
        NodeUpdate back;
        ASSERT_FALSE(parse_node_update_json(text, back).has_value()) << text;
        ASSERT_EQ(testing::node_update_json_text(back), text);
    }
    NodeUpdate out;
    for (const char* bad : {"{\"red\":07}", "{\"red\":-1}", "{\"showLabel\":1}", "{\"size\":1e13 }", "{\"size\":NaN}",
                            "{\"url\":\"a\\/\"}", "{\"label\":\"\x01\"}", "{}x", "{\"label\":\"a\"", "{\"size\":1E13}",
                            "{\"label\":\"\xed\xa0\x80\"}", "{\"size\":+1.0}", "[]", "{\"label\":\"\\u000a\"}"}) {
        EXPECT_TRUE(parse_node_update_json(bad, out).has_value()) << bad;
    }
}

}  // namespace
}  // namespace tarnu
