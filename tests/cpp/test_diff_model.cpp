// The record against the reference diff over long random operation sequences,
// and the determinism of its iteration order.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diff_model.hpp"

namespace tarnu {
namespace {

using testing::ModelHarness;
using testing::OpMix;
using testing::RandomBytes;

struct ModelRun {
    std::uint64_t seed;
    std::size_t pool;
    std::size_t ops;
    std::size_t full_every;
    OpMix mix;
};

void run(const ModelRun& r) {
    SCOPED_TRACE("seed " + std::to_string(r.seed) + ", pool " + std::to_string(r.pool));
    RandomBytes in(r.seed);
    ModelHarness harness(r.pool, r.mix);
    for (std::size_t i = 0; i < r.ops; ++i) {
        const std::string failure = harness.step(in, r.full_every);
        ASSERT_EQ(failure, "");
    }
    ASSERT_EQ(harness.check(), "");
}

// Small pools: ids collide all the time, every rule meets every other, and
// the collections are compared after every operation.
TEST(DiffModel, SmallPoolsAgreeAfterEveryOperation) {
    std::uint64_t seed = 1;
    for (std::size_t pool : {2, 3, 4, 6, 8, 12})
        for (int i = 0; i < 3; ++i) run({seed++, pool, 50'000, 1, OpMix{}});
}

// Edge-heavy mixes without clears on larger pools, so target maps, deleted
// sets and reverse sets grow past the inline and dense sizes into hashed
// tables and shrink again through deletions.
TEST(DiffModel, LargeTablesAgree) {
    const OpMix edge_heavy{10, 14, 200, 256};
    const OpMix deletion_heavy{10, 30, 150, 256};
    run({101, 40, 100'000, 8, OpMix{}});
    run({102, 64, 60'000, 64, edge_heavy});
    run({103, 64, 60'000, 64, deletion_heavy});
    run({104, 300, 20'000, 500, edge_heavy});
    run({105, 300, 20'000, 500, deletion_heavy});
}

// Two records, one fed by side operations and merged into the other now and
// then (sometimes the first into itself): merge must equal the replay of the
// second's content through the single operations, and leave the second as
// it was.
TEST(DiffModel, MergeAgreesWithItsReplay) {
    OpMix merging{30, 50, 110, 135, 137, 240};
    std::uint64_t seed = 201;
    for (std::size_t pool : {3, 6, 12, 40})
        for (int i = 0; i < 2; ++i) run({seed++, pool, 20'000, 1, merging});
    merging.side_below = 253;  // larger merged records
    run({301, 300, 20'000, 200, merging});
}

// The change between two snapshots equals the replay of its definition
// through single operations, byte for byte, on random prior diffs; its
// refusals are the definition's and change nothing. Small pools make
// every overlap of the four lists with each other and with the prior diff
// common; the large cases grow the temporary tables past their first size.
TEST(SnapshotChange, EqualsItsReplay) {
    RandomBytes in(401);
    for (int i = 0; i < 4000; ++i) ASSERT_EQ(testing::run_snapshot_case(in), "") << "case " << i;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(testing::run_snapshot_case(in, 3000, 20'000), "") << "large case " << i;
    // Few old edges, or none (a first snapshot): the groups are counted by
    // the new edges then, and the tables keep their bound.
    for (int old : {16, 0}) ASSERT_EQ(testing::run_snapshot_case(in, 3000, 20'000, old), "") << "old " << old;
}

// Every visible order: the collections, each inner map and set, as ids.
std::vector<NodeId> walk(const GraphDiff& diff) {
    std::vector<NodeId> order;
    diff.nodes().for_each([&](const NodeId& id, const NodeUpdate&) { order.push_back(id); });
    diff.deleted_nodes().for_each([&](const NodeId& id) { order.push_back(id); });
    diff.edges().new_or_updated().for_each([&](const NodeId& s, const auto& targets) {
        order.push_back(s);
        targets.for_each([&](const NodeId& t, float) { order.push_back(t); });
    });
    diff.edges().deleted().for_each([&](const NodeId& s, const auto& targets) {
        order.push_back(s);
        targets.for_each([&](const NodeId& t) { order.push_back(t); });
    });
    return order;
}

TEST(IterationOrder, OneSequenceGivesOneOrder) {
    const OpMix no_clear{40, 60, 200, 256};
    ModelHarness first(64, no_clear);
    ModelHarness second(64, no_clear);
    RandomBytes in1(7);
    RandomBytes in2(7);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(first.step(in1, 0), "");
        ASSERT_EQ(second.step(in2, 0), "");
    }
    const std::vector<NodeId> order = walk(first.diff());
    EXPECT_GT(order.size(), 1000u);
    EXPECT_EQ(order, walk(second.diff()));
}

TEST(IterationOrder, ClearedRecordRepeatsTheOrderOfANewOne) {
    auto fill = [](GraphDiff& diff) {
        for (std::uint8_t i = 0; i < 200; ++i) {
            NodeId from, to;
            from.bytes[15] = i;
            to.bytes[0] = static_cast<std::uint8_t>(i * 7);
            (void)diff.add_edge(from, to, 1.0f);
            (void)diff.add_edge(from, from, 1.0f);
            if (i % 3 == 0) diff.delete_edge(to, from);
            if (i % 5 == 0) diff.set_node_update(to, NodeUpdate{});
        }
    };
    GraphDiff reused;
    fill(reused);
    reused.clear();
    fill(reused);
    GraphDiff fresh;
    fill(fresh);
    EXPECT_EQ(walk(reused), walk(fresh));
}

// The hash is keyed once per process: within the process one id always has
// one hash. That no order depends on the key is checked across processes by
// the Python tests, which compare the bytes of two runs.
TEST(IterationOrder, HashOfAnIdIsStableWithinTheProcess) {
    NodeId zero;
    NodeId ones;
    ones.bytes.fill(0xff);
    EXPECT_EQ(hash_id(zero), hash_id(NodeId{}));
    EXPECT_EQ(hash_id(ones), hash_id(ones));
    EXPECT_NE(hash_id(zero), hash_id(ones));
}

}  // namespace
}  // namespace tarnu
