// The combining rules of the diff record, one group per rule.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <string>

#include "diff_model.hpp"

namespace tarnu {
namespace {

using testing::bits_of;
using testing::IdMap;
using testing::IdSet;
using testing::Snapshot;

NodeId id_of(std::uint8_t last) {
    NodeId id;
    id.bytes.fill(0x42);
    id.bytes[15] = last;
    return id;
}

const NodeId a = id_of(0xa);
const NodeId b = id_of(0xb);
const NodeId c = id_of(0xc);
const NodeId d = id_of(0xd);

Snapshot snap(const GraphDiff& diff) {
    std::string problems;
    Snapshot s = testing::snapshot_of(diff, problems);
    EXPECT_EQ(problems, "");
    return s;
}

NodeUpdate labelled(std::string label) {
    NodeUpdate u;
    u.label = std::move(label);
    return u;
}

void add(GraphDiff& diff, const NodeId& from, const NodeId& to, float w = 1.0f) {
    ASSERT_FALSE(diff.add_edge(from, to, w).has_value());
}

TEST(NodeUpdates, LaterUpdateReplacesTheWholeEarlierOne) {
    GraphDiff diff;
    NodeUpdate u1;
    u1.label = "first";
    u1.size = 2.5f;
    NodeUpdate u2;
    u2.url = "https://example.org";
    diff.set_node_update(a, u1);
    diff.set_node_update(a, u2);
    ASSERT_NE(diff.nodes().find(a), std::nullopt);
    EXPECT_EQ(*diff.nodes().find(a), u2);
    EXPECT_EQ(diff.num_nodes(), 1u);
}

TEST(NodeUpdates, UpdateWithEveryFieldAbsentIsStoredAndCounted) {
    GraphDiff diff;
    diff.set_node_update(NodeId{}, NodeUpdate{});
    ASSERT_NE(diff.nodes().find(NodeId{}), std::nullopt);
    EXPECT_EQ(*diff.nodes().find(NodeId{}), NodeUpdate{});
    EXPECT_EQ(diff.num_nodes(), 1u);
}

TEST(NodeUpdates, UpdateRevivesADeletedNodeButKeepsItsRecordedEdgeDeletions) {
    GraphDiff diff;
    add(diff, c, a);
    diff.delete_node(a);
    diff.set_node_update(a, labelled("back"));
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.nodes.count(a), 1u);
    EXPECT_TRUE(s.deleted_nodes.empty());
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{c, {a}}}));
    EXPECT_EQ(diff.num_nodes(), 1u);
}

TEST(NodeDeletion, DropsThePendingUpdate) {
    GraphDiff diff;
    diff.set_node_update(a, labelled("x"));
    diff.delete_node(a);
    EXPECT_EQ(diff.nodes().find(a), std::nullopt);
    EXPECT_TRUE(diff.deleted_nodes().contains(a));
    EXPECT_EQ(diff.num_nodes(), 1u);
}

TEST(NodeDeletion, OfAnUnknownNodeOrTwiceSucceeds) {
    GraphDiff diff;
    diff.delete_node(a);
    diff.delete_node(a);
    EXPECT_EQ(diff.num_nodes(), 1u);
    EXPECT_EQ(diff.num_edges(), 0u);
    EXPECT_TRUE(diff.deleted_nodes().contains(a));
}

TEST(NodeDeletion, DropsOutgoingEdgesWithoutRecordingThem) {
    GraphDiff diff;
    add(diff, a, b);
    add(diff, a, c);
    diff.delete_node(a);
    const Snapshot s = snap(diff);
    EXPECT_TRUE(s.new_or_updated.empty());
    EXPECT_TRUE(s.deleted.empty());
    EXPECT_EQ(diff.num_edges(), 0u);
}

TEST(NodeDeletion, TurnsIncomingEdgesIntoDeletionsPerSource) {
    GraphDiff diff;
    add(diff, c, b);
    add(diff, d, b);
    add(diff, d, a);
    diff.delete_node(b);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{c, {b}}, {d, {b}}}));
    EXPECT_EQ(s.new_or_updated, (IdMap<IdMap<std::uint32_t>>{{c, {}}, {d, {{a, bits_of(1.0f)}}}}));
}

TEST(NodeDeletion, AddsToAnExistingDeletedSetAndLeavesOwnDeletionsAlone) {
    GraphDiff diff;
    diff.delete_edge(a, c);
    diff.delete_edge(b, d);
    add(diff, a, b);
    diff.delete_node(b);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {b, c}}, {b, {d}}}));
}

TEST(NodeDeletion, DropsASelfLoopAndNeverRecordsIt) {
    GraphDiff diff;
    add(diff, a, a);
    add(diff, b, a);
    diff.delete_node(a);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{b, {a}}}));
    EXPECT_EQ(s.new_or_updated, (IdMap<IdMap<std::uint32_t>>{{b, {}}}));
}

TEST(NodeDeletion, OnlyTheEdgesOfThatNodeAreTouched) {
    GraphDiff diff;
    add(diff, a, b, 1.0f);
    add(diff, c, d, 2.0f);
    diff.delete_node(b);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.new_or_updated, (IdMap<IdMap<std::uint32_t>>{{a, {}}, {c, {{d, bits_of(2.0f)}}}}));
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {b}}}));
}

// A source whose last target delete_node removed keeps an empty map, which
// counts as a source and which later operations treat as an ordinary entry.
TEST(EmptyTargetMap, IsLeftByDeleteNodeAndCounts) {
    GraphDiff diff;
    add(diff, a, b);
    diff.delete_node(b);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.new_or_updated, (IdMap<IdMap<std::uint32_t>>{{a, {}}}));
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {b}}}));
    EXPECT_EQ(s.deleted_nodes, (IdSet{b}));
    EXPECT_EQ(diff.num_edges(), 2u);
    std::size_t targets = 99;
    diff.edges().new_or_updated().for_each([&](const NodeId&, const auto& t) { targets = t.size(); });
    EXPECT_EQ(targets, 0u);
}

TEST(EmptyTargetMap, DeleteEdgeFromThatSourceRemovesTheEntryEvenForANewTarget) {
    GraphDiff diff;
    add(diff, a, b);
    diff.delete_node(b);
    diff.delete_edge(a, c);
    const Snapshot s = snap(diff);
    EXPECT_TRUE(s.new_or_updated.empty());
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {b, c}}}));
    EXPECT_EQ(diff.num_edges(), 1u);
}

TEST(EmptyTargetMap, AddEdgeFillsItAgain) {
    GraphDiff diff;
    add(diff, a, b);
    diff.delete_node(b);
    add(diff, a, c, 3.0f);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.new_or_updated, (IdMap<IdMap<std::uint32_t>>{{a, {{c, bits_of(3.0f)}}}}));
    EXPECT_EQ(diff.num_edges(), 2u);
}

TEST(EmptyTargetMap, GoesAwayWhenItsSourceIsDeleted) {
    GraphDiff diff;
    add(diff, a, b);
    diff.delete_node(b);
    diff.delete_node(a);
    const Snapshot s = snap(diff);
    EXPECT_TRUE(s.new_or_updated.empty());
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {b}}}));
}

TEST(EdgeAddition, LaterWeightReplacesEarlierAndSourcesCountOnce) {
    GraphDiff diff;
    add(diff, a, b, 1.0f);
    add(diff, a, b, 2.0f);
    add(diff, a, c, 3.0f);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.new_or_updated,
              (IdMap<IdMap<std::uint32_t>>{{a, {{b, bits_of(2.0f)}, {c, bits_of(3.0f)}}}}));
    EXPECT_EQ(diff.num_edges(), 1u);
    EXPECT_EQ(diff.num_nodes(), 0u);
}

TEST(EdgeAddition, IsRefusedWhileAnEndpointIsDeletedLeavingTheRecordUnchanged) {
    GraphDiff diff;
    diff.delete_node(b);
    diff.delete_edge(a, b);
    add(diff, c, d);
    const Snapshot before = snap(diff);
    for (const auto& [from, to] : {std::pair{a, b}, std::pair{b, a}, std::pair{b, b}}) {
        const auto error = diff.add_edge(from, to, 5.0f);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->message, "Either from or to nodes are marked to be deleted");
        EXPECT_EQ(snap(diff), before);
    }
    diff.set_node_update(b, NodeUpdate{});
    EXPECT_FALSE(diff.add_edge(a, b, 5.0f).has_value());
    EXPECT_FALSE(diff.add_edge(b, a, 5.0f).has_value());
}

TEST(EdgeAddition, CancelsAPendingDeletionOfThatEdgeOnly) {
    GraphDiff diff;
    diff.delete_edge(a, b);
    diff.delete_edge(a, c);
    add(diff, a, b);
    Snapshot s = snap(diff);
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {c}}}));
    EXPECT_EQ(diff.num_edges(), 2u);
    add(diff, a, c);
    s = snap(diff);
    EXPECT_TRUE(s.deleted.empty());
    EXPECT_EQ(s.new_or_updated.at(a).size(), 2u);
    EXPECT_EQ(diff.num_edges(), 1u);
}

TEST(EdgeAddition, CreatesNoNodeEntries) {
    GraphDiff diff;
    add(diff, a, b);
    EXPECT_EQ(diff.num_nodes(), 0u);
    EXPECT_EQ(diff.nodes().find(a), std::nullopt);
}

TEST(EdgeAddition, StoresWeightsBitForBit) {
    GraphDiff diff;
    for (std::uint32_t bits : testing::kSpecialWeights) {
        add(diff, a, b, std::bit_cast<float>(bits));
        std::optional<std::uint32_t> stored;
        diff.edges().new_or_updated().for_each([&](const NodeId&, const auto& targets) {
            targets.for_each([&](const NodeId&, float w) { stored = bits_of(w); });
        });
        EXPECT_EQ(stored, bits) << std::hex << bits;
    }
}

TEST(EdgeDeletion, IsRecordedOnANewRecord) {
    GraphDiff diff;
    diff.delete_edge(a, b);
    EXPECT_EQ(snap(diff).deleted, (IdMap<IdSet>{{a, {b}}}));
    EXPECT_EQ(diff.num_edges(), 1u);
    EXPECT_EQ(diff.num_nodes(), 0u);
}

TEST(EdgeDeletion, CancelsAPendingAdditionAndIsStillRecorded) {
    GraphDiff diff;
    add(diff, a, b);
    diff.delete_edge(a, b);
    const Snapshot s = snap(diff);
    EXPECT_TRUE(s.new_or_updated.empty());
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {b}}}));
    EXPECT_EQ(diff.num_edges(), 1u);
}

TEST(EdgeDeletion, KeepsOtherTargetsOfTheSource) {
    GraphDiff diff;
    add(diff, a, b);
    add(diff, a, c);
    diff.delete_edge(a, b);
    diff.delete_edge(a, d);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.new_or_updated, (IdMap<IdMap<std::uint32_t>>{{a, {{c, bits_of(1.0f)}}}}));
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{a, {b, d}}}));
    EXPECT_EQ(diff.num_edges(), 2u);
}

TEST(EdgeDeletion, IsAcceptedFromADeletedNode) {
    GraphDiff diff;
    diff.delete_node(a);
    diff.delete_edge(a, b);
    EXPECT_EQ(snap(diff).deleted, (IdMap<IdSet>{{a, {b}}}));
}

TEST(EdgeDeletion, ReversedEdgeIsADifferentEdge) {
    GraphDiff diff;
    add(diff, a, b);
    diff.delete_edge(b, a);
    const Snapshot s = snap(diff);
    EXPECT_EQ(s.new_or_updated.count(a), 1u);
    EXPECT_EQ(s.deleted, (IdMap<IdSet>{{b, {a}}}));
}

TEST(Ids, DifferingInAnyOneByteAreDifferentNodes) {
    GraphDiff diff;
    NodeId ones;
    ones.bytes.fill(0xff);
    diff.set_node_update(NodeId{}, NodeUpdate{});
    diff.set_node_update(ones, NodeUpdate{});
    for (int i = 0; i < 16; ++i) {
        NodeId id;
        id.bytes[i] = 1;
        diff.delete_node(id);
    }
    EXPECT_EQ(diff.num_nodes(), 18u);
    EXPECT_FALSE(diff.deleted_nodes().contains(NodeId{}));
}

TEST(Clear, EmptiesEverythingAndTheRecordIsReusable) {
    GraphDiff diff;
    diff.set_node_update(a, labelled("a"));
    diff.delete_node(b);
    add(diff, a, c);
    diff.delete_edge(c, a);
    diff.clear();
    EXPECT_EQ(diff.num_nodes(), 0u);
    EXPECT_EQ(diff.num_edges(), 0u);
    EXPECT_EQ(snap(diff), Snapshot{});
    EXPECT_EQ(diff.nodes().find(a), std::nullopt);
    EXPECT_FALSE(diff.deleted_nodes().contains(b));
    // b is no longer marked deleted, so an edge to it is accepted.
    add(diff, a, b);
    EXPECT_EQ(snap(diff).new_or_updated, (IdMap<IdMap<std::uint32_t>>{{a, {{b, bits_of(1.0f)}}}}));
    EXPECT_EQ(diff.num_edges(), 1u);
}

TEST(Clear, KeepsTheOuterCapacitySoARefillDoesNotGrow) {
    GraphDiff diff;
    auto fill = [&] {
        for (int i = 0; i < 2000; ++i) {
            NodeId from, to;
            from.bytes[0] = static_cast<std::uint8_t>(i);
            from.bytes[1] = static_cast<std::uint8_t>(i >> 8);
            for (std::uint8_t k = 1; k <= 5; ++k) {
                to = from;
                to.bytes[2] = k;
                add(diff, from, to);
            }
            diff.set_node_update(to, NodeUpdate{});
        }
    };
    fill();
    const std::size_t full = diff.memory_bytes();
    diff.clear();
    const std::size_t cleared = diff.memory_bytes();
    EXPECT_LT(cleared, full);  // the target maps and source sets are released
    fill();
    EXPECT_EQ(diff.memory_bytes(), full);
}

}  // namespace
}  // namespace tarnu
