// Running out of memory in the middle of an operation: the record must come
// out exactly as it went in. Allocation failures are injected by replacing
// the global operator new of this test binary with one that, while a
// FailingAllocations guard is alive, throws std::bad_alloc at the n-th call.
// Unarmed, it is plain malloc/free.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <tuple>

#include "diff_model.hpp"

namespace {

long allocations_left = -1;  // -1: not armed

void* allocate(std::size_t size, std::size_t alignment) {
    if (allocations_left == 0) throw std::bad_alloc();
    if (allocations_left > 0) --allocations_left;
    if (size == 0) size = 1;
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(size)
                  : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

class FailingAllocations {
public:
    explicit FailingAllocations(long succeed_first) { allocations_left = succeed_first; }
    ~FailingAllocations() { allocations_left = -1; }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace tarnu {
namespace {

using testing::ReferenceDiff;
using testing::Snapshot;

Snapshot snap(const GraphDiff& diff) {
    std::string problems;
    Snapshot s = testing::snapshot_of(diff, problems);
    EXPECT_EQ(problems, "");
    return s;
}

struct RandomOp {
    int kind;
    NodeId a;
    NodeId b;
    NodeUpdate update;
};

RandomOp random_op(std::mt19937_64& rng, const std::vector<NodeId>& ids) {
    RandomOp op{static_cast<int>(rng() % 10), ids[rng() % ids.size()], ids[rng() % ids.size()], {}};
    if (rng() % 2) op.update.label = std::string(rng() % 40, 'x');  // long enough to allocate, sometimes
    return op;
}

// kind: 0 set_node_update, 1 delete_node, 2..5 add_edge, 6..8 delete_edge, 9 clear
template <class Diff>
void apply(Diff& diff, RandomOp op) {
    switch (op.kind) {
        case 0: diff.set_node_update(op.a, std::move(op.update)); break;
        case 1: diff.delete_node(op.a); break;
        case 2: case 3: case 4: case 5: (void)diff.add_edge(op.a, op.b, 1.5f); break;
        case 6: case 7: case 8: diff.delete_edge(op.a, op.b); break;
        default: diff.clear(); break;
    }
}

// A random history of up to `longest` operations (no clear), applied to the
// record and its model alike.
void random_history(std::mt19937_64& rng, const std::vector<NodeId>& ids, unsigned longest, GraphDiff& diff,
                    ReferenceDiff& model) {
    const int history = static_cast<int>(rng() % longest);
    for (int i = 0; i < history; ++i) {
        RandomOp op = random_op(rng, ids);
        if (op.kind == 9) continue;
        apply(model, op);
        apply(diff, std::move(op));
    }
}

// Takes the record's node updates to exactly `count` (updating or deleting
// nodes of `ids`, on the model too) and returns a node without an update.
NodeId node_updates_up_to(std::size_t count, const std::vector<NodeId>& ids, GraphDiff& diff,
                          ReferenceDiff& model) {
    for (const NodeId& id : ids) {
        const bool updated = diff.nodes().find(id).has_value();
        if (!updated && diff.nodes().size() < count) {
            NodeUpdate u;
            u.label = std::string(count % 40, 'n');
            model.set_node_update(id, u);
            diff.set_node_update(id, u);
        } else if (updated && diff.nodes().size() > count) {
            model.delete_node(id);
            diff.delete_node(id);
        }
    }
    EXPECT_EQ(diff.nodes().size(), count);
    for (const NodeId& id : ids)
        if (!diff.nodes().find(id)) return id;
    ADD_FAILURE() << "no node left without an update";
    return ids[0];
}

// Random histories leave the tables at all sorts of sizes, growth thresholds
// included; the operation under test is then run with the first, second, ...
// allocation failing until it gets through. Every fourth round instead takes
// the node table to one of its growth points (3/4 of 16, 32 and 64 slots)
// and adds one more update, so that its slot array grows in the operation
// under test.
TEST(OutOfMemory, EveryOperationLeavesTheRecordAsItWas) {
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool node_growth = round % 4 == 3;
        const std::vector<NodeId> ids = testing::id_pool(node_growth ? 64 : round % 2 ? 40 : 6);
        GraphDiff diff;
        ReferenceDiff model;
        random_history(rng, ids, 300, diff, model);
        RandomOp op = random_op(rng, ids);
        if (node_growth) {
            constexpr std::size_t kGrowthPoints[] = {12, 24, 48};
            op.kind = 0;
            op.a = node_updates_up_to(kGrowthPoints[round / 4 % 3], ids, diff, model);
        }
        for (long succeed_first = 0;; ++succeed_first) {
            const Snapshot before = snap(diff);
            RandomOp attempt = op;  // copied before arming: the test's own allocations must not fail
            bool failed = false;
            try {
                FailingAllocations guard(succeed_first);
                apply(diff, std::move(attempt));
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            if (!failed) break;
            ASSERT_EQ(snap(diff), before) << "operation kind " << op.kind << ", allocation " << succeed_first;
        }
        apply(model, op);
        ASSERT_EQ(snap(diff), model.snapshot());
        // and the record goes on working
        for (int i = 0; i < 50; ++i) {
            RandomOp next = random_op(rng, ids);
            apply(model, next);
            apply(diff, std::move(next));
        }
        ASSERT_EQ(snap(diff), model.snapshot());
    }
}

// Each failed attempt may keep the capacity it managed to grow, so a retry
// needs fewer allocations; none of it shows, and a retry finally succeeds.
TEST(OutOfMemory, DeleteNodeWithManyIncomingEdgesRetriesUntilItSucceeds) {
    GraphDiff diff;
    ReferenceDiff model;
    const std::vector<NodeId> ids = testing::id_pool(60);
    for (std::size_t i = 2; i < ids.size(); ++i) {
        (void)diff.add_edge(ids[i], ids[0], 1.0f);
        model.add_edge(ids[i], ids[0], 1.0f);
        if (i % 3 == 0) {
            diff.delete_edge(ids[i], ids[1]);
            model.delete_edge(ids[i], ids[1]);
        }
    }
    const Snapshot before = snap(diff);
    int failures = 0;
    for (long succeed_first = 0, done = 0; !done; ++succeed_first) {
        try {
            FailingAllocations guard(succeed_first);
            diff.delete_node(ids[0]);
            done = 1;
        } catch (const std::bad_alloc&) {
            ++failures;
            ASSERT_EQ(snap(diff), before);
        }
    }
    EXPECT_GE(failures, 2);  // the deleted-node list and the list of deleted-edge sources
    model.delete_node(ids[0]);
    EXPECT_EQ(snap(diff), model.snapshot());
}

// A merge that runs out of memory part-way holds exactly the effect of the
// items it counted as done: a prefix of its replay.
TEST(OutOfMemory, MergeKeepsTheItemsItCountedDone) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::vector<NodeId> ids = testing::id_pool(round % 2 ? 40 : 6);
        GraphDiff diff, other;
        ReferenceDiff model, other_model;
        for (int i = 0; i < 150; ++i) {
            RandomOp op = random_op(rng, ids);
            if (op.kind == 9) continue;
            // Every fourth round merges into an empty record.
            auto [d, m] = i % 2 && round % 4 != 0 ? std::tie(diff, model) : std::tie(other, other_model);
            apply(m, op);
            apply(d, std::move(op));
        }
        const Snapshot other_before = snap(other);
        for (long succeed_first = 0;; ++succeed_first) {
            ReferenceDiff expected = model;
            std::size_t done = 0;
            bool failed = false;
            try {
                FailingAllocations guard(succeed_first);
                diff.merge(other, done, [](std::size_t) {});
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            expected.merge(other, done);
            ASSERT_EQ(snap(diff), expected.snapshot()) << "allocation " << succeed_first << ", done " << done;
            ASSERT_EQ(snap(other), other_before);
            model = expected;
            if (!failed) break;
        }
    }
}

// A batch of node updates that runs out of memory, its room made ahead for
// the batch included, holds exactly the items it counted as done; run again
// (setting an update twice is setting it once) it finally goes through.
// Every third round deletes the batch's nodes instead, which takes updates
// out of the node table (moving others) as it interns the ids.
TEST(OutOfMemory, NodeUpdateBatchesKeepTheItemsTheyCountedDone) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::vector<NodeId> ids = testing::id_pool(round % 2 ? 40 : 300);
        GraphDiff diff;
        ReferenceDiff model;
        random_history(rng, ids, 150, diff, model);
        std::vector<RandomOp> batch(1 + rng() % 80);
        for (RandomOp& item : batch) item = random_op(rng, ids);
        const auto id = [&](std::size_t i) -> const NodeId& { return batch[i].a; };
        const auto update = [&](std::size_t i) -> const NodeUpdate& { return batch[i].update; };
        for (long succeed_first = 0;; ++succeed_first) {
            ReferenceDiff expected = model;
            std::size_t done = 0;
            bool failed = false;
            try {
                FailingAllocations guard(succeed_first);
                if (round % 3 == 2)
                    diff.delete_nodes(batch.size(), id, done, [](std::size_t) {});
                else
                    diff.set_node_updates(batch.size(), id, update, done, [](std::size_t) {});
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            for (std::size_t i = 0; i < done; ++i) {
                if (round % 3 == 2)
                    expected.delete_node(batch[i].a);
                else
                    expected.set_node_update(batch[i].a, batch[i].update);
            }
            ASSERT_EQ(snap(diff), expected.snapshot()) << "allocation " << succeed_first << ", done " << done;
            model = expected;
            if (!failed) break;
        }
    }
}

// The change between two snapshots, out of memory: in compute, the record
// is unchanged; in apply, it holds exactly the items counted done (the
// same change stopped before item `done` by its before_item hook). Run
// again, each item being idempotent, it ends where one run would.
TEST(OutOfMemory, SnapshotChangeKeepsTheItemsItCountedDone) {
    struct Stop {};
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        testing::RandomBytes in(900 + round);
        const std::vector<NodeId> ids = testing::id_pool(round % 2 ? 40 : 12);
        GraphDiff diff;
        for (int i = 0; i < 30; ++i) (void)diff.add_edge(ids[in.next() % ids.size()], ids[in.next() % ids.size()], 1.0f);
        const testing::SnapshotCase c = testing::draw_snapshots(in, ids, 200);
        const auto on = c.nodes(true), nn = c.nodes(false);
        const auto oe = c.edges(true), ne = c.edges(false);
        GraphDiff whole = diff.clone();
        SnapshotChange change;
        if (change.compute(on, nn, oe, ne)) continue;
        std::size_t done = 0;
        change.apply(whole, on, nn, oe, ne, done, [](std::size_t) {});
        for (long succeed_first = 0;; ++succeed_first) {
            const std::vector<std::uint8_t> before = testing::bytes_of(diff);
            GraphDiff expected = diff.clone();
            int stage = 0;
            done = 0;
            try {
                FailingAllocations guard(succeed_first);
                SnapshotChange attempt;
                ASSERT_FALSE(attempt.compute(on, nn, oe, ne));
                stage = 1;
                attempt.apply(diff, on, nn, oe, ne, done, [](std::size_t) {});
                break;
            } catch (const std::bad_alloc&) {
            }
            if (stage == 0) {
                ASSERT_EQ(testing::bytes_of(diff), before) << "allocation " << succeed_first;
                continue;
            }
            std::size_t stopped = 0;
            try {
                change.apply(expected, on, nn, oe, ne, stopped, [&](std::size_t k) {
                    if (k == done) throw Stop{};
                });
            } catch (const Stop&) {
            }
            ASSERT_EQ(testing::bytes_of(diff), testing::bytes_of(expected)) << "allocation " << succeed_first << ", done " << done;
        }
        ASSERT_EQ(testing::bytes_of(diff), testing::bytes_of(whole));
    }
}

}  // namespace
}  // namespace tarnu
