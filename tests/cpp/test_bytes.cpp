#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bytes/graph_diff_to_bytes.hpp"
#include "node_update/node_update_json.hpp"
#include "node_update_text.hpp"

namespace tarnu {
namespace {

NodeId id_ending_in(std::uint8_t last) {
    NodeId id;
    id.bytes[15] = last;
    return id;
}

// Sized, then written in one go into exactly that many bytes.
std::vector<std::uint8_t> encode(const GraphDiff& diff) {
    const DiffEncoding encoding(diff);
    std::vector<std::uint8_t> out(encoding.size());
    if (const auto error = encoding.write_to(out.data())) {
        ADD_FAILURE() << "encoding failed: " << error->message;
        return {};
    }
    return out;
}

std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

// Reads the format back, independently of the writer: counts and lengths as
// little-endian u64 assembled byte by byte, every id behind its length 16,
// nothing left over at the end.
struct DecodedDiff {
    std::vector<std::pair<NodeId, std::string>> nodes;
    std::vector<NodeId> deleted_nodes;
    std::vector<std::pair<NodeId, std::vector<std::pair<NodeId, std::uint32_t>>>> new_or_updated;
    std::vector<std::pair<NodeId, std::vector<NodeId>>> deleted_edges;

    // The length the format gives for these contents.
    std::size_t expected_length() const {
        std::size_t total = 32 + 24 * deleted_nodes.size();
        for (const auto& [id, text] : nodes) total += 32 + text.size();
        for (const auto& [id, targets] : new_or_updated) total += 32 + 28 * targets.size();
        for (const auto& [id, targets] : deleted_edges) total += 32 + 24 * targets.size();
        return total;
    }
};

class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::optional<DecodedDiff> decode() {
        DecodedDiff d;
        std::uint64_t n = 0;
        if (!count(n, 32)) return std::nullopt;
        for (std::uint64_t i = 0; i < n; ++i) {
            NodeId id;
            std::uint64_t length = 0;
            if (!node_id(id) || !u64(length) || length > left()) return std::nullopt;
            d.nodes.emplace_back(id, std::string(reinterpret_cast<const char*>(&bytes_[pos_]), length));
            pos_ += length;
        }
        if (!count(n, 24)) return std::nullopt;
        for (std::uint64_t i = 0; i < n; ++i) {
            if (!node_id(d.deleted_nodes.emplace_back())) return std::nullopt;
        }
        if (!count(n, 32)) return std::nullopt;
        for (std::uint64_t i = 0; i < n; ++i) {
            auto& [source, targets] = d.new_or_updated.emplace_back();
            std::uint64_t m = 0;
            if (!node_id(source) || !count(m, 28)) return std::nullopt;
            for (std::uint64_t j = 0; j < m; ++j) {
                auto& [target, weight] = targets.emplace_back();
                if (!node_id(target) || left() < 4) return std::nullopt;
                weight = 0;
                for (int b = 3; b >= 0; --b) weight = weight << 8 | bytes_[pos_ + static_cast<std::size_t>(b)];
                pos_ += 4;
            }
        }
        if (!count(n, 32)) return std::nullopt;
        for (std::uint64_t i = 0; i < n; ++i) {
            auto& [source, targets] = d.deleted_edges.emplace_back();
            std::uint64_t k = 0;
            if (!node_id(source) || !count(k, 24)) return std::nullopt;
            for (std::uint64_t j = 0; j < k; ++j) {
                if (!node_id(targets.emplace_back())) return std::nullopt;
            }
        }
        if (left() != 0) return std::nullopt;
        return d;
    }

private:
    std::size_t left() const { return bytes_.size() - pos_; }
    bool u64(std::uint64_t& out) {
        if (left() < 8) return false;
        out = 0;
        for (int b = 7; b >= 0; --b) out = out << 8 | bytes_[pos_ + static_cast<std::size_t>(b)];
        pos_ += 8;
        return true;
    }
    // A count is plausible only if that many of its smallest entries could follow.
    bool count(std::uint64_t& out, std::size_t min_entry) { return u64(out) && out <= left() / min_entry; }
    bool node_id(NodeId& out) {
        std::uint64_t length = 0;
        if (!u64(length) || length != 16 || left() < 16) return false;
        std::memcpy(out.bytes.data(), &bytes_[pos_], 16);
        pos_ += 16;
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

TEST(DiffBytes, WritesTheWorkedExample) {
    GraphDiff diff;
    NodeUpdate a;
    a.label = "A";
    a.size = 1.5F;
    diff.set_node_update(id_ending_in(1), a);
    ASSERT_FALSE(diff.add_edge(id_ending_in(1), id_ending_in(2), 0.5F).has_value());

    const std::vector<std::uint8_t> expected = hex(
        "01 00 00 00 00 00 00 00"
        "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01"
        "18 00 00 00 00 00 00 00"
        "7b 22 6c 61 62 65 6c 22 3a 22 41 22 2c 22 73 69 7a 65 22 3a 31 2e 35 7d"
        "00 00 00 00 00 00 00 00"
        "01 00 00 00 00 00 00 00"
        "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01"
        "01 00 00 00 00 00 00 00"
        "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02"
        "00 00 00 3f"
        "00 00 00 00 00 00 00 00");
    ASSERT_EQ(expected.size(), 148U);
    EXPECT_EQ(encode(diff), expected);
}

TEST(DiffBytes, EmptyDiffIsFourZeroCounts) {
    EXPECT_EQ(encode(GraphDiff{}), std::vector<std::uint8_t>(32, 0));

    // And so is one emptied by clear, whatever it held.
    GraphDiff diff;
    diff.set_node_update(id_ending_in(1), NodeUpdate{});
    diff.delete_node(id_ending_in(2));
    ASSERT_FALSE(diff.add_edge(id_ending_in(1), id_ending_in(3), 1.0F).has_value());
    diff.delete_edge(id_ending_in(3), id_ending_in(1));
    diff.clear();
    EXPECT_EQ(encode(diff), std::vector<std::uint8_t>(32, 0));
}

TEST(DiffBytes, WritesEdgeCasesOfEachSectionExactly) {
    NodeId ff;
    ff.bytes.fill(0xFF);
    const NodeId a = id_ending_in(0xA);
    const NodeId b = id_ending_in(0xB);
    const NodeId c = id_ending_in(0xC);
    GraphDiff diff;
    NodeUpdate accented;
    accented.label = "\xC3\xA9t\xC3\xA9";  // three characters, five bytes
    diff.set_node_update(ff, NodeUpdate{});
    diff.set_node_update(a, accented);
    // A source left without targets is still written, with a count of 0: a's
    // one target is deleted, which turns the edge into a deleted edge.
    ASSERT_FALSE(diff.add_edge(a, b, 1.0F).has_value());
    diff.delete_node(b);
    // Weights go out bit for bit: negative zero, both infinities, a
    // signalling NaN with a payload; a self-loop is an edge like another.
    ASSERT_FALSE(diff.add_edge(ff, a, -0.0F).has_value());
    ASSERT_FALSE(diff.add_edge(ff, c, std::numeric_limits<float>::infinity()).has_value());
    ASSERT_FALSE(diff.add_edge(ff, ff, -std::numeric_limits<float>::infinity()).has_value());
    ASSERT_FALSE(diff.add_edge(ff, c, std::bit_cast<float>(0x7FA12345U)).has_value());  // replaces the weight
    ASSERT_FALSE(diff.add_edge(ff, id_ending_in(0xD), 0.5F).has_value());

    const std::vector<std::uint8_t> bytes = encode(diff);
    const std::string ff_id = "10 00 00 00 00 00 00 00 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff";
    const std::string a_id = "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0a";
    const std::string b_id = "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0b";
    const std::string c_id = "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0c";
    const std::string d_id = "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0d";
    const std::vector<std::uint8_t> expected = hex(
        "02 00 00 00 00 00 00 00" + ff_id + "02 00 00 00 00 00 00 00 7b 7d" +  // {} has L = 2
        a_id + "11 00 00 00 00 00 00 00" +                                 // L counts bytes: 17
        "7b 22 6c 61 62 65 6c 22 3a 22 c3 a9 74 c3 a9 22 7d" +
        "01 00 00 00 00 00 00 00" + b_id +
        "02 00 00 00 00 00 00 00" + a_id + "00 00 00 00 00 00 00 00" +
        ff_id + "04 00 00 00 00 00 00 00" +
        a_id + "00 00 00 80" + c_id + "45 23 a1 7f" + ff_id + "00 00 80 ff" + d_id + "00 00 00 3f" +
        "01 00 00 00 00 00 00 00" + a_id + "01 00 00 00 00 00 00 00" + b_id);
    EXPECT_EQ(bytes, expected);
}

TEST(DiffBytes, TwoStepEncodingWritesExactlyItsSize) {
    GraphDiff diff;
    NodeUpdate u;
    u.url = "https://example.org/\"q\"";
    diff.set_node_update(id_ending_in(1), u);
    diff.delete_node(id_ending_in(2));
    diff.delete_node(id_ending_in(3));
    diff.delete_edge(id_ending_in(4), id_ending_in(5));

    const DiffEncoding encoding(diff);
    constexpr std::uint8_t kGuard = 0xA5;
    std::vector<std::uint8_t> storage(encoding.size() + 64, kGuard);
    ASSERT_FALSE(encoding.write_to(storage.data()).has_value());
    EXPECT_TRUE(std::all_of(storage.begin() + static_cast<std::ptrdiff_t>(encoding.size()), storage.end(),
                            [](std::uint8_t b) { return b == kGuard; }));
    storage.resize(encoding.size());
    EXPECT_EQ(storage, encode(diff));

    // The same prepared encoding writes the same bytes again.
    std::vector<std::uint8_t> again(encoding.size());
    ASSERT_FALSE(encoding.write_to(again.data()).has_value());
    EXPECT_EQ(again, storage);
}

TEST(DiffBytes, RefusesToWriteWhenTheDiffChangedAfterPreparing) {
    GraphDiff diff;
    const auto fill = [&diff] {
        diff.clear();
        ASSERT_FALSE(diff.add_edge(id_ending_in(1), id_ending_in(2), 1.0F).has_value());
        diff.delete_edge(id_ending_in(3), id_ending_in(4));
    };
    fill();
    const DiffEncoding encoding(diff);
    const std::size_t size = encoding.size();
    static constexpr std::uint8_t kGuard = 0x5A;

    const auto write_with_guard = [&](bool& guard_intact) {
        std::vector<std::uint8_t> storage(size + 256, kGuard);
        const bool failed = encoding.write_to(storage.data()).has_value();
        guard_intact = std::all_of(storage.begin() + static_cast<std::ptrdiff_t>(size), storage.end(),
                                   [](std::uint8_t b) { return b == kGuard; });
        return failed;
    };
    bool guard_intact = false;

    // Grown: more targets, more deleted nodes, more deleted-edge groups.
    ASSERT_FALSE(diff.add_edge(id_ending_in(1), id_ending_in(5), 2.0F).has_value());
    EXPECT_TRUE(write_with_guard(guard_intact));
    EXPECT_TRUE(guard_intact);
    fill();
    diff.delete_node(id_ending_in(6));
    EXPECT_TRUE(write_with_guard(guard_intact));
    EXPECT_TRUE(guard_intact);
    fill();
    diff.delete_edge(id_ending_in(7), id_ending_in(8));
    EXPECT_TRUE(write_with_guard(guard_intact));
    EXPECT_TRUE(guard_intact);

    // Shrunk: fewer bytes than announced is just as wrong.
    fill();
    diff.delete_edge(id_ending_in(1), id_ending_in(2));
    EXPECT_TRUE(write_with_guard(guard_intact));
    diff.clear();
    EXPECT_TRUE(write_with_guard(guard_intact));

    // Refilled: the sizes match again and writing succeeds.
    fill();
    EXPECT_FALSE(write_with_guard(guard_intact));
    EXPECT_TRUE(guard_intact);
}

// The module's own record, filled by its operations.

bool id_less(const NodeId& x, const NodeId& y) { return x.bytes < y.bytes; }

template <class Pairs>
void sort_by_id(Pairs& pairs) {
    std::sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) { return id_less(x.first, y.first); });
}

// The record's collections as the read views give them, in a canonical order.
DecodedDiff collections_of(const GraphDiff& diff) {
    DecodedDiff c;
    diff.nodes().for_each([&](const NodeId& id, const NodeUpdate& update) {
        c.nodes.emplace_back(id, testing::node_update_json_text(update));
    });
    diff.deleted_nodes().for_each([&](const NodeId& id) { c.deleted_nodes.push_back(id); });
    diff.edges().new_or_updated().for_each([&](const NodeId& source, const auto& targets) {
        auto& group = c.new_or_updated.emplace_back(source, std::vector<std::pair<NodeId, std::uint32_t>>{}).second;
        targets.for_each([&](const NodeId& t, float w) { group.emplace_back(t, std::bit_cast<std::uint32_t>(w)); });
    });
    diff.edges().deleted().for_each([&](const NodeId& source, const auto& targets) {
        auto& group = c.deleted_edges.emplace_back(source, std::vector<NodeId>{}).second;
        targets.for_each([&](const NodeId& t) { group.push_back(t); });
    });
    return c;
}

void canonicalise(DecodedDiff& d) {
    sort_by_id(d.nodes);
    std::sort(d.deleted_nodes.begin(), d.deleted_nodes.end(), id_less);
    sort_by_id(d.new_or_updated);
    for (auto& [source, targets] : d.new_or_updated) sort_by_id(targets);
    sort_by_id(d.deleted_edges);
    for (auto& [source, targets] : d.deleted_edges) std::sort(targets.begin(), targets.end(), id_less);
}

bool operator==(const DecodedDiff& x, const DecodedDiff& y) {
    return x.nodes == y.nodes && x.deleted_nodes == y.deleted_nodes && x.new_or_updated == y.new_or_updated &&
           x.deleted_edges == y.deleted_edges;
}

TEST(RecordBytes, DeletingATargetLeavesItsSourceWithNoTargets) {
    const NodeId a = id_ending_in(0xA);
    const NodeId b = id_ending_in(0xB);
    GraphDiff diff;
    diff.set_node_update(b, NodeUpdate{});
    ASSERT_FALSE(diff.add_edge(a, b, 2.0F).has_value());
    diff.delete_node(b);

    const std::string a_id = "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0a";
    const std::string b_id = "10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0b";
    EXPECT_EQ(encode(diff), hex("00 00 00 00 00 00 00 00"                                // no node updates
                                "01 00 00 00 00 00 00 00" + b_id +                     // b deleted
                                "01 00 00 00 00 00 00 00" + a_id + "00 00 00 00 00 00 00 00" +  // a, no targets
                                "01 00 00 00 00 00 00 00" + a_id + "01 00 00 00 00 00 00 00" + b_id));
}

TEST(RecordBytes, RandomRecordsDecodeToTheirOwnCollections) {
    std::mt19937 rng(99);
    GraphDiff diff;
    const auto random_id = [&rng] {
        NodeId id;
        id.bytes[0] = static_cast<std::uint8_t>(rng() % 40);  // few ids, so operations meet
        id.bytes[15] = 0xFF;
        return id;
    };
    for (int round = 0; round < 200; ++round) {
        if (rng() % 25 == 0) diff.clear();
        for (unsigned op = rng() % 60; op > 0; --op) {
            switch (rng() % 8) {
                case 0:
                case 1: {
                    NodeUpdate u;
                    if (rng() % 2) u.label = std::string(rng() % 300, static_cast<char>(rng() % 128));
                    if (rng() % 2) u.size = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
                    if (rng() % 2) u.red = static_cast<std::uint8_t>(rng());
                    diff.set_node_update(random_id(), u);
                    break;
                }
                case 2: diff.delete_node(random_id()); break;
                case 3: diff.delete_edge(random_id(), random_id()); break;
                default:
                    (void)diff.add_edge(random_id(), random_id(), std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
            }
        }

        const std::size_t num_nodes = diff.num_nodes();
        const std::size_t num_edges = diff.num_edges();
        const std::vector<std::uint8_t> bytes = encode(diff);
        std::optional<DecodedDiff> decoded = Decoder(bytes).decode();
        ASSERT_TRUE(decoded.has_value()) << "round " << round;
        EXPECT_EQ(bytes.size(), decoded->expected_length());
        EXPECT_EQ(decoded->nodes.size() + decoded->deleted_nodes.size(), num_nodes);
        EXPECT_EQ(decoded->new_or_updated.size() + decoded->deleted_edges.size(), num_edges);

        DecodedDiff expected = collections_of(diff);
        canonicalise(*decoded);
        canonicalise(expected);
        ASSERT_TRUE(*decoded == expected) << "round " << round;

        // Encoding reads only: the same bytes again, the same counts.
        EXPECT_EQ(encode(diff), bytes);
        EXPECT_EQ(diff.num_nodes(), num_nodes);
        EXPECT_EQ(diff.num_edges(), num_edges);
    }
}

}  // namespace
}  // namespace tarnu
