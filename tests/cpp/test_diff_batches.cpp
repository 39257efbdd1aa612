// The record's batches against a loop of single-item operations: the same
// operations in the same order give the same record, byte for byte, on small
// pools (read in place) and on pools large enough for the reads ahead, across
// chunk boundaries, with ids repeated within a batch and endpoints deleted.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "bytes/graph_diff_to_bytes.hpp"

namespace tarnu {
namespace {

std::vector<std::uint8_t> encode(const GraphDiff& diff) {
    const DiffEncoding encoding(diff);
    std::vector<std::uint8_t> out(encoding.size());
    EXPECT_FALSE(encoding.write_to(out.data()));
    return out;
}

NodeId id_of(std::uint64_t n) {
    NodeId id;
    std::memcpy(id.bytes.data(), &n, 8);
    return id;
}

const auto no_hook = [](std::size_t) {};

// One random batch, applied as a batch to `batched` and item by item to
// `looped`; source and target are the batch's id accessors.
template <class Source, class Target>
void apply(std::mt19937_64& rng, GraphDiff& batched, GraphDiff& looped, const std::vector<NodeId>& from,
           const std::vector<NodeId>& to, const std::vector<float>& weight, const Source& source,
           const Target& target) {
    const std::size_t n = from.size();
    std::size_t done = 0;
    switch (rng() % 8) {
        case 0:
        case 1:
        case 2:
            batched.add_edges(n, source, target, [&](std::size_t i) { return weight[i]; }, done, no_hook);
            for (std::size_t i = 0; i < n; ++i) (void)looped.add_edge(from[i], to[i], weight[i]);
            break;
        case 3:
        case 4:
            batched.delete_edges(n, source, target, done, no_hook);
            for (std::size_t i = 0; i < n; ++i) looped.delete_edge(from[i], to[i]);
            break;
        case 5: {
            const std::size_t few = n / 16;  // node deletions stay rarer than edges
            batched.delete_nodes(few, source, done, no_hook);
            for (std::size_t i = 0; i < few; ++i) looped.delete_node(from[i]);
            break;
        }
        default: {
            const auto update = [&](std::size_t i) {
                NodeUpdate u;
                u.red = static_cast<std::uint8_t>(weight[i]);
                return u;
            };
            batched.set_node_updates(n, source, update, done, no_hook);
            for (std::size_t i = 0; i < n; ++i) looped.set_node_update(from[i], update(i));
        }
    }
}

// Random batches of every kind over `pool` ids, applied to two records: as
// batches to one and item by item to the other.
void compare(std::uint64_t seed, std::uint64_t pool, std::size_t batches, std::size_t batch_size) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", pool " + std::to_string(pool));
    std::mt19937_64 rng(seed);
    GraphDiff batched;
    GraphDiff looped;
    for (std::size_t b = 0; b < batches; ++b) {
        const std::size_t n = rng() % batch_size;
        std::vector<NodeId> from(n), to(n);
        std::vector<float> weight(n);
        for (std::size_t i = 0; i < n; ++i) {
            from[i] = id_of(rng() % pool);
            to[i] = id_of(rng() % pool);
            weight[i] = static_cast<float>(rng() % 1000);
        }
        // Every other batch reads its ids in place (accessors that return
        // references), the others copy them (accessors that return values).
        if (b % 2 == 0) {
            apply(rng, batched, looped, from, to, weight, [&](std::size_t i) { return from[i]; },
                  [&](std::size_t i) { return to[i]; });
        } else {
            apply(rng, batched, looped, from, to, weight, [&](std::size_t i) -> const NodeId& { return from[i]; },
                  [&](std::size_t i) -> const NodeId& { return to[i]; });
        }
        ASSERT_EQ(batched.num_nodes(), looped.num_nodes());
        ASSERT_EQ(batched.num_edges(), looped.num_edges());
    }
    ASSERT_EQ(encode(batched), encode(looped));
}

TEST(DiffBatches, SmallPoolsMatchTheLoop) {
    for (std::uint64_t seed = 1; seed <= 20; ++seed) compare(seed, 2 + seed % 7, 300, 40);
}

TEST(DiffBatches, LargePoolsReadAheadAndMatchTheLoop) {
    // Batches longer than a chunk, over pools that pass the read-ahead size
    // part-way through, and ids that repeat within reach of the reads ahead.
    for (std::uint64_t seed = 1; seed <= 4; ++seed) compare(seed, seed % 2 ? 30'000 : 9'000, 40, 5'000);
}

TEST(DiffBatches, CountsTheItemsDoneWhenAnItemFails) {
    GraphDiff diff;
    std::size_t done = 0;
    const auto id = [](std::size_t i) { return id_of(i); };
    EXPECT_THROW(diff.delete_nodes(10, id, done, [](std::size_t i) { if (i == 4) throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(diff.num_nodes(), 4u);
}

TEST(DiffBatches, CountsTheItemsDoneWhenAnItemFailsAmidTheReadsAhead) {
    // Past the read-ahead size, inside a chunk and with items read ahead of
    // the failing one: the record holds the loop's effect on the items
    // before it, and `done` says how many. Ids read in place, as bulk
    // callers hand them.
    constexpr std::size_t kItems = 30'000;
    constexpr std::size_t kFailsAt = 20'000 + 517;
    std::vector<NodeId> from(kItems), to(kItems);
    for (std::size_t i = 0; i < kItems; ++i) {
        from[i] = id_of(i % 12'000);
        to[i] = id_of((i * 7) % 12'000 + 5);
    }
    GraphDiff batched;
    GraphDiff looped;
    std::size_t done = 0;
    EXPECT_THROW(batched.add_edges(
                     kItems, [&](std::size_t i) -> const NodeId& { return from[i]; },
                     [&](std::size_t i) -> const NodeId& { return to[i]; }, [](std::size_t i) { return float(i); },
                     done, [](std::size_t i) { if (i == kFailsAt) throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_EQ(done, kFailsAt);
    for (std::size_t i = 0; i < kFailsAt; ++i) (void)looped.add_edge(from[i], to[i], float(i));
    EXPECT_EQ(encode(batched), encode(looped));
}

}  // namespace
}  // namespace tarnu
