// check_invariants() holds on records the operations build, and finds each
// kind of damage done to one on purpose; the debug mode stops the process at
// the first operation that leaves a record broken.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "diff/graph_diff.hpp"
#include "diff_model.hpp"

namespace tarnu {

namespace testing {

// Reaches into a record to break one invariant; every change is undone by
// the function it returns, so that the record can be destroyed or used again.
struct DiffTamper {
    using Undo = std::function<void()>;

    static std::uint32_t index(const GraphDiff& d, const NodeId& id) { return d.ids_.find(id, hash_id(id)); }

    // An updated node also listed as deleted.
    static Undo also_deleted(GraphDiff& d, const NodeId& id) {
        const std::uint32_t x = index(d, id);
        d.deleted_nodes_.push_back(x);
        d.ids_[x].deleted_node_pos = static_cast<std::uint32_t>(d.deleted_nodes_.size() - 1);
        return [&d, x] {
            d.deleted_nodes_.pop_back();
            d.ids_[x].deleted_node_pos = detail::kNoIndex;
        };
    }

    // The reverse index loses the edge from -> to.
    static Undo drop_incoming(GraphDiff& d, const NodeId& from, const NodeId& to) {
        const std::uint32_t f = index(d, from);
        auto& incoming = d.ids_[index(d, to)].incoming;
        EXPECT_TRUE(incoming.erase(f));
        return [&d, &incoming, f] {
            incoming.reserve_one(d.blocks_);
            incoming.insert_absent(f);
        };
    }

    static Undo miscount_pending(GraphDiff& d) {
        ++d.pending_targets_;
        return [&d] { --d.pending_targets_; };
    }

    // A block taken from the record's pool that no table holds.
    static Undo leak_block(GraphDiff& d) {
        std::uint32_t* block = d.blocks_.allocate(8);
        return [&d, block] { d.blocks_.deallocate(block, 8); };
    }

    // The deleted set of `from` loses its only target but stays.
    static Undo empty_deleted_set(GraphDiff& d, const NodeId& from, const NodeId& to) {
        const std::uint32_t t = index(d, to);
        auto& set = d.deleted_[d.ids_[index(d, from)].deleted_source_pos].targets;
        EXPECT_TRUE(set.erase(t));
        d.deleted_targets_ -= 1;
        return [&d, &set, t] {
            set.insert(t);
            d.deleted_targets_ += 1;
        };
    }

    // A pending edge also recorded as deleted.
    static Undo pending_and_deleted(GraphDiff& d, const NodeId& from, const NodeId& to) {
        const std::uint32_t t = index(d, to);
        auto& set = d.deleted_[d.ids_[index(d, from)].deleted_source_pos].targets;
        set.reserve_one(d.blocks_);
        EXPECT_TRUE(set.insert(t));
        d.deleted_targets_ += 1;
        return [&d, &set, t] {
            set.erase(t);
            d.deleted_targets_ -= 1;
        };
    }

    // Two sources trade places in the list without telling their ids.
    static Undo swap_sources(GraphDiff& d) {
        std::swap(d.sources_[0], d.sources_[1]);
        return [&d] { std::swap(d.sources_[0], d.sources_[1]); };
    }
};

}  // namespace testing

namespace {

using testing::DiffTamper;
using testing::ModelHarness;
using testing::OpMix;
using testing::RandomBytes;

NodeId node(std::uint8_t n) { return testing::id_pool(64)[n]; }

// a -> b, a -> c pending; c -> d deleted; a updated; e deleted.
void fill(GraphDiff& diff) {
    ASSERT_FALSE(diff.add_edge(node(1), node(2), 1.0f).has_value());
    ASSERT_FALSE(diff.add_edge(node(1), node(3), 2.0f).has_value());
    ASSERT_FALSE(diff.add_edge(node(3), node(1), 2.0f).has_value());
    diff.delete_edge(node(3), node(4));
    NodeUpdate update;
    update.label = "a";
    diff.set_node_update(node(1), update);
    diff.delete_node(node(5));
}

TEST(DiffInvariants, HoldOnRecordsBuiltClonedAndClearedThroughTheOperations) {
    ModelHarness harness(24, OpMix{30, 45, 200, 256});
    RandomBytes in(77);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(harness.step(in, 0), "");
    EXPECT_EQ(harness.diff().check_invariants(), "");
    const GraphDiff copy = harness.diff().clone();
    EXPECT_EQ(copy.check_invariants(), "");
    GraphDiff diff;
    fill(diff);
    EXPECT_EQ(diff.check_invariants(), "");
    diff.clear();
    EXPECT_EQ(diff.check_invariants(), "");
}

TEST(DiffInvariants, EachKindOfDamageIsFoundAndNamed) {
    struct Case {
        const char* expected;  // a part of the description
        std::function<DiffTamper::Undo(GraphDiff&)> tamper;
    };
    const std::vector<Case> cases = {
        {"both updated and deleted", [](GraphDiff& d) { return DiffTamper::also_deleted(d, node(1)); }},
        {"incoming", [](GraphDiff& d) { return DiffTamper::drop_incoming(d, node(1), node(3)); }},
        {"count of pending edges", [](GraphDiff& d) { return DiffTamper::miscount_pending(d); }},
        {"block pool", [](GraphDiff& d) { return DiffTamper::leak_block(d); }},
        {"empty set in deleted", [](GraphDiff& d) { return DiffTamper::empty_deleted_set(d, node(3), node(4)); }},
        {"both pending and deleted",
         [](GraphDiff& d) { return DiffTamper::pending_and_deleted(d, node(3), node(1)); }},
        {"points elsewhere", [](GraphDiff& d) { return DiffTamper::swap_sources(d); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        GraphDiff diff;
        fill(diff);
        const DiffTamper::Undo undo = c.tamper(diff);
        const std::string found = diff.check_invariants();
        EXPECT_NE(found.find(c.expected), std::string::npos) << found;
        undo();
        EXPECT_EQ(diff.check_invariants(), "");
        diff.delete_node(node(1));  // and the mended record goes on
        EXPECT_EQ(diff.check_invariants(), "");
    }
}

// The tables under the record check themselves too.
TEST(DiffInvariants, TablesAndPoolsReportTheirOwnFlaws) {
    detail::BlockPool blocks;
    detail::InnerTable<void> set;
    set.reserve_one(blocks);
    set.insert(7);
    EXPECT_EQ(set.check(8), nullptr);
    EXPECT_STREQ(set.check(7), "a key that is no interned index");

    detail::BlockPool::Usage held;
    set.count_block(held);  // inline: no block
    std::uint32_t* a = blocks.allocate(5);
    std::uint32_t* b = blocks.allocate(12);
    std::uint32_t* large = blocks.allocate(100);
    held.add(5);
    held.add(12);
    held.add(100);
    EXPECT_EQ(blocks.check(held), nullptr);
    blocks.deallocate(a, 5);
    EXPECT_NE(blocks.check(held), nullptr);  // freed, yet counted as held
    detail::BlockPool::Usage after;
    after.add(12);
    after.add(100);
    EXPECT_EQ(blocks.check(after), nullptr);
    blocks.deallocate(b, 12);
    blocks.deallocate(b, 12);  // given back twice
    detail::BlockPool::Usage large_only;
    large_only.add(100);
    EXPECT_NE(blocks.check(large_only), nullptr);
    blocks.deallocate(large, 100);
    set.release(blocks);

    struct Entry {
        int payload = 0;
    };
    detail::IdPool<Entry, NodeId> ids;
    for (std::uint8_t i = 0; i < 40; ++i) ids.intern(node(i), hash_id(node(i)));
    EXPECT_EQ(ids.check([](const NodeId& id) { return hash_id(id); }), nullptr);
    EXPECT_STREQ(ids.check([](const NodeId& id) { return hash_id(id) + 1; }), "a slot's hash bits are not its id's");
}

#ifdef TARNU_CHECK_INVARIANTS
// The debug mode checks after every operation: a broken record stops the
// process at the next one, which names itself.
TEST(DiffInvariantsDeathTest, DebugModeStopsAtTheFirstOperationOnABrokenRecord) {
    EXPECT_DEATH(
        {
            GraphDiff diff;
            fill(diff);
            DiffTamper::miscount_pending(diff);
            diff.delete_edge(node(7), node(8));
        },
        "inconsistent after delete_edge: the count of pending edges");
}
#endif

#ifndef NDEBUG
// Preconditions are assertions: an insert without the room that reserve_one()
// makes stops the process instead of writing past the table.
TEST(DiffInvariantsDeathTest, ABrokenPreconditionStopsTheProcess) {
    EXPECT_DEATH(
        {
            detail::InnerTable<void> set;  // two keys inline, no block
            set.insert(1);
            set.insert(2);
            set.insert(3);
        },
        "reserve_one");
}
#endif

}  // namespace
}  // namespace tarnu
