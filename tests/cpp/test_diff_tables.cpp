// The tables under the diff record: the small inner set/map, the id pool,
// the node table, and the spread of the id hash.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "diff/id_pool.hpp"
#include "diff/inner_table.hpp"
#include "basics/node_id.hpp"
#include "diff/node_table.hpp"

namespace tarnu {
namespace {

using detail::InnerTable;

std::map<std::uint32_t, std::uint32_t> contents(const InnerTable<float>& t) {
    std::map<std::uint32_t, std::uint32_t> m;
    t.for_each([&](std::uint32_t k, float v) { EXPECT_TRUE(m.emplace(k, std::bit_cast<std::uint32_t>(v)).second); });
    EXPECT_EQ(m.size(), t.size());
    return m;
}

// The entries in walk order.
std::vector<std::pair<std::uint32_t, std::uint32_t>> rows(const InnerTable<float>& t) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> r;
    t.for_each([&](std::uint32_t k, float v) { r.emplace_back(k, std::bit_cast<std::uint32_t>(v)); });
    return r;
}

// Random inserts (half through insert_or_assign, half as add_edge makes
// them: assign, then insert_absent for a key not there) and erases over key ranges that keep the table in each of
// its forms (inline, dense, hashed) and move it between them, against
// std::map after every step, and against the row order the encoding
// relies on (a new key appended, an erased row filled by the last).
TEST(InnerTable, MapAgreesWithStdMapThroughEveryForm) {
    for (std::uint32_t range : {2u, 5u, 20u, 200u, 5000u}) {
        SCOPED_TRACE(range);
        std::mt19937 rng(range);
        detail::BlockPool blocks;
        InnerTable<float> table;
        std::map<std::uint32_t, std::uint32_t> ref;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> order;
        const auto row_of = [&](std::uint32_t key) {
            return std::find_if(order.begin(), order.end(), [&](const auto& e) { return e.first == key; });
        };
        for (int i = 0; i < 20000; ++i) {
            const std::uint32_t key = rng() % range;
            if (rng() % 3 != 0) {
                const std::uint32_t bits = rng();
                if (rng() % 2 == 0) {
                    table.reserve_one(blocks);
                    EXPECT_EQ(table.insert_or_assign(key, std::bit_cast<float>(bits)), !ref.count(key));
                } else {
                    // add_edge's order: assign before any room is made (a
                    // dense table's scan writes the key into its free row),
                    // then room and an insert only for a new key.
                    const bool present = table.assign(key, std::bit_cast<float>(bits));
                    EXPECT_EQ(present, ref.count(key) == 1);
                    if (!present) {
                        table.reserve_one(blocks);
                        table.insert_absent(key, std::bit_cast<float>(bits));
                    }
                }
                ref[key] = bits;
                if (const auto at = row_of(key); at != order.end())
                    at->second = bits;
                else
                    order.emplace_back(key, bits);
            } else {
                EXPECT_EQ(table.erase(key), ref.erase(key) == 1);
                if (const auto at = row_of(key); at != order.end()) {
                    *at = order.back();
                    order.pop_back();
                }
            }
            ASSERT_EQ(table.size(), ref.size());
            if (i % 97 == 0 || range <= 20) {
                ASSERT_EQ(contents(table), ref);
                ASSERT_EQ(rows(table), order);
            }
        }
        for (auto [k, bits] : ref) {
            ASSERT_TRUE(table.get(k).has_value());
            EXPECT_EQ(std::bit_cast<std::uint32_t>(*table.get(k)), bits);
        }
        table.release(blocks);
    }
}

TEST(InnerTable, SetHoldsTwoKeysWithoutAllocatingThenGrows) {
    detail::BlockPool blocks;
    InnerTable<void> set;
    set.reserve_one(blocks);
    set.insert(7);
    set.reserve_one(blocks);
    set.insert(9);
    EXPECT_EQ(set.memory_bytes(), 0u);
    set.reserve_one(blocks);
    set.insert(11);
    EXPECT_GT(set.memory_bytes(), 0u);
    EXPECT_TRUE(set.contains(7) && set.contains(9) && set.contains(11));
    set.release(blocks);
    EXPECT_EQ(set.size(), 0u);
    EXPECT_EQ(set.memory_bytes(), 0u);
    EXPECT_FALSE(set.contains(7));
}

TEST(InnerTable, SmallTablesStaySmall) {
    detail::BlockPool blocks;
    InnerTable<float> map;
    for (std::uint32_t k = 0; k < 10; ++k) {
        map.reserve_one(blocks);
        map.insert_or_assign(k * 1000, 1.0f);
    }
    EXPECT_LE(map.memory_bytes(), 12u * 8u);
    map.release(blocks);
}

// The capacities a table passes through as it grows one insert at a time,
// and the bytes of its block at each: the room test, the values' place and
// the index's size all derive from the rows the table keeps, so a wrong
// derivation shows as a capacity, a size or a layout flaw here. A clone and
// a reserve() land on the same ladder.
template <class V>
void climb_growth_ladder(std::uint32_t first, std::uint32_t words_per_row) {
    detail::BlockPool blocks;
    InnerTable<V> table;
    std::vector<std::uint32_t> seen{table.capacity()};
    for (std::uint32_t k = 0; k < 200; ++k) {
        table.reserve_one(blocks);
        if constexpr (std::is_void_v<V>)
            table.insert_absent(k);
        else
            table.insert_absent(k, static_cast<float>(k));
        ASSERT_EQ(table.check(200), nullptr) << k;
        const std::uint32_t capacity = table.capacity();
        if (capacity != seen.back()) seen.push_back(capacity);
        const std::size_t rows = capacity > 16 ? capacity / 4 * 3 : capacity;
        const std::size_t words = rows * words_per_row + (capacity > 16 ? capacity : 0);
        ASSERT_EQ(table.memory_bytes(), capacity == first ? 0 : words * 4) << k;
        ASSERT_GE(rows, table.size());
    }
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{first, 4, 12, 16, 32, 64, 128, 256, 512}));
    for (std::uint32_t k = 0; k < 200; k += 3) ASSERT_TRUE(table.erase(k));
    InnerTable<V> copy = table.clone(blocks);
    EXPECT_EQ(copy.capacity(), table.capacity());
    EXPECT_EQ(copy.check(200), nullptr);
    for (std::uint32_t k = 0; k < 200; ++k) ASSERT_EQ(copy.contains(k), k % 3 != 0) << k;
    InnerTable<V> reserved;
    reserved.reserve(97, blocks);  // 96 rows in 128 slots are too few
    EXPECT_EQ(reserved.capacity(), 256u);
    EXPECT_EQ(reserved.check(1), nullptr);
    for (InnerTable<V>* t : {&table, &copy, &reserved}) t->release(blocks);
}

TEST(InnerTable, GrowsThroughTheSameCapacitiesInBothKinds) {
    climb_growth_ladder<void>(2, 1);
    climb_growth_ladder<float>(1, 2);
}

// A million keys with every other one erased again: linear time overall, and
// the backward-shift erase keeps every survivor reachable.
TEST(InnerTable, MillionKeysThenHalfErased) {
    detail::BlockPool blocks;
    InnerTable<void> set;
    constexpr std::uint32_t n = 1'000'000;
    for (std::uint32_t k = 0; k < n; ++k) {
        set.reserve_one(blocks);
        if (k % 3 == 0) {
            set.insert_absent(k);  // the same table as insert gives, in every form
        } else {
            ASSERT_TRUE(set.insert(k));
        }
    }
    EXPECT_EQ(set.size(), n);
    for (std::uint32_t k = 0; k < n; k += 2) ASSERT_TRUE(set.erase(k));
    EXPECT_EQ(set.size(), n / 2);
    for (std::uint32_t k = 0; k < n; ++k) ASSERT_EQ(set.contains(k), k % 2 == 1) << k;
    // 2^21 index slots and 3/4 of that in rows, 4 bytes each.
    EXPECT_LE(set.memory_bytes(), 4u * 4 * 1024 * 1024);
    set.release(blocks);
    EXPECT_LT(blocks.memory_bytes(), 1024u);  // every large block given back; the first slabs stay
}

// Small blocks come from slabs and are reused: by size first, else split
// from a larger free block. Large blocks are counted while they are out;
// reset gives every slab back.
TEST(BlockPool, ReusesFreedBlocksBySizeAndResets) {
    detail::BlockPool blocks;
    std::uint32_t* a = blocks.allocate(8);
    std::uint32_t* b = blocks.allocate(12);
    std::fill_n(a, 8, 1u);
    std::fill_n(b, 12, 2u);
    EXPECT_GE(b - a, 8);  // no overlap
    const std::size_t slab_bytes = blocks.memory_bytes();
    EXPECT_GT(slab_bytes, 0u);
    blocks.deallocate(a, 8);
    EXPECT_EQ(blocks.allocate(8), a);
    // With no free block of its size, a request takes the front of a larger
    // free block; the rest serves a later request of the rest's size.
    blocks.deallocate(b, 12);
    EXPECT_EQ(blocks.allocate(4), b);
    EXPECT_EQ(blocks.allocate(8), b + 4);
    std::uint32_t* large = blocks.allocate(1000);
    std::fill_n(large, 1000, 3u);
    EXPECT_EQ(blocks.memory_bytes(), slab_bytes + 4000);
    blocks.deallocate(large, 1000);
    EXPECT_EQ(blocks.memory_bytes(), slab_bytes);
    // Many blocks: the slabs grow, and every block stays apart from the others.
    std::vector<std::uint32_t*> many;
    for (std::uint32_t i = 0; i < 20000; ++i) {
        many.push_back(blocks.allocate(4 + 4 * (i % 8)));
        std::fill_n(many.back(), 4 + 4 * (i % 8), i);
    }
    for (std::uint32_t i = 0; i < 20000; ++i) ASSERT_EQ(many[i][3 + 4 * (i % 8)], i);
    blocks.reset();
    EXPECT_EQ(blocks.memory_bytes(), 0u);
}

// take_small() never calls out: it serves a free block or the current
// slab's rest, and reports a full slab with null and nothing changed, which
// make_room_small() then fixes. The tables' growth relies on both halves.
TEST(BlockPool, TakeSmallReportsAFullSlabWithoutAllocating) {
    detail::BlockPool blocks;
    EXPECT_EQ(blocks.take_small(4), nullptr);  // no slab yet
    EXPECT_EQ(blocks.memory_bytes(), 0u);
    blocks.make_room_small();
    const std::size_t first_slab = blocks.memory_bytes();
    std::vector<std::uint32_t*> taken;
    while (std::uint32_t* block = blocks.take_small(12)) taken.push_back(block);
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(blocks.memory_bytes(), first_slab);  // null came before any new slab
    blocks.deallocate(taken.back(), 12);
    EXPECT_EQ(blocks.take_small(12), taken.back());  // a free block of its size still comes
    EXPECT_EQ(blocks.take_small(12), nullptr);
    blocks.make_room_small();
    EXPECT_NE(blocks.take_small(12), nullptr);
    EXPECT_GT(blocks.memory_bytes(), first_slab);
    blocks.reset();
}

struct Entry {
    int payload = 0;
};
using Pool = detail::IdPool<Entry, NodeId>;

NodeId numbered(std::uint32_t i) {
    NodeId id;
    id.bytes.fill(0x11);
    id.bytes[12] = static_cast<std::uint8_t>(i >> 24);
    id.bytes[13] = static_cast<std::uint8_t>(i >> 16);
    id.bytes[14] = static_cast<std::uint8_t>(i >> 8);
    id.bytes[15] = static_cast<std::uint8_t>(i);
    return id;
}

TEST(IdPool, InternsEachIdOnceWithStableEntries) {
    Pool pool;
    const Entry* first = nullptr;
    for (std::uint32_t i = 0; i < 50'000; ++i) {
        const NodeId id = numbered(i);
        ASSERT_EQ(pool.find(id, hash_id(id)), detail::kNoIndex);
        ASSERT_EQ(pool.intern(id, hash_id(id)), i);
        pool[i].payload = static_cast<int>(i);
        if (i == 0) first = &pool[0];
    }
    EXPECT_EQ(&pool[0], first);  // chunks never move
    for (std::uint32_t i = 0; i < 50'000; ++i) {
        const NodeId id = numbered(i);
        ASSERT_EQ(pool.intern(id, hash_id(id)), i);
        ASSERT_EQ(pool.id(i), id);
        ASSERT_EQ(pool[i].payload, static_cast<int>(i));
    }
    EXPECT_EQ(pool.size(), 50'000u);
}

// Random sets (new ids and updates of present ones), removals, lookups,
// reserves and clears over id ranges that take the slot array from empty
// through many doublings, against std::unordered_map and against the order
// of the records (a new update appended, a removed one's place taken by the
// last), with the table's own check and a clone compared along the way.
TEST(NodeTable, AgreesWithAnUnorderedMapAndKeepsTheRecordOrder) {
    for (std::uint32_t range : {3u, 40u, 700u, 30'000u}) {
        SCOPED_TRACE(range);
        std::mt19937 rng(range);
        detail::NodeTable table;
        std::unordered_map<std::uint32_t, std::pair<std::uint8_t, std::string>> ref;
        std::vector<std::uint32_t> order;
        const auto compare = [&](const detail::NodeTable& t) {
            ASSERT_EQ(t.check(), nullptr);
            ASSERT_EQ(t.size(), order.size());
            ASSERT_EQ(ref.size(), order.size());
            for (std::uint32_t pos = 0; pos < order.size(); ++pos) {
                const NodeId id = numbered(order[pos]);
                ASSERT_EQ(t.store().id(pos), id);
                ASSERT_EQ(t.find(id, hash_id(id)), pos);
                const NodeUpdateView update = t.store().view(pos);
                ASSERT_EQ(update.red, ref.at(order[pos]).first);
                ASSERT_EQ(update.label, std::string_view(ref.at(order[pos]).second));
            }
        };
        const int steps = static_cast<int>(std::min(range * 12, 120'000u));
        for (int i = 0; i < steps; ++i) {
            const std::uint32_t key = rng() % range;
            const NodeId id = numbered(key);
            const std::uint64_t hash = hash_id(id);
            const std::uint32_t pos = table.find(id, hash);
            const auto found = ref.find(key);
            ASSERT_EQ(pos == detail::kNoIndex, found == ref.end());
            if (found != ref.end()) {
                ASSERT_EQ(order[pos], key);
            }
            const std::uint32_t op = rng() % 100;
            if (op < 55) {
                const auto red = static_cast<std::uint8_t>(rng());
                const std::string label(rng() % 5, static_cast<char>('a' + key % 26));
                NodeUpdate update;
                update.red = red;
                update.label = label;
                table.set(pos, id, hash, update);
                if (found == ref.end()) order.push_back(key);
                ref[key] = {red, label};
            } else if (op < 97) {
                if (found == ref.end()) continue;
                table.remove(pos, hash);
                order[pos] = order.back();
                order.pop_back();
                ref.erase(found);
            } else if (op < 99) {
                table.reserve(ref.size() + rng() % (range + 1));
            } else if (rng() % range == 0) {  // rare enough for the large ranges to fill
                table.clear();
                ref.clear();
                order.clear();
            }
            if (i % 4096 == 0 || (range < 100 && i % 16 == 0)) compare(table);
        }
        compare(table);
        compare(table.clone());
        detail::NodeTable moved = std::move(table);
        compare(moved);
        EXPECT_EQ(table.size(), 0u);
        EXPECT_EQ(table.find(numbered(0), hash_id(numbered(0))), detail::kNoIndex);
    }
}

// The slots keep only 32 bits of the hash: two ids that share them must
// still be told apart by their bytes.
TEST(IdPool, TellsApartIdsWhoseStoredHashesAgree) {
    std::unordered_map<std::uint32_t, std::uint32_t> first_with_hash;
    NodeId a;
    NodeId b;
    for (std::uint32_t i = 0;; ++i) {
        const auto [it, fresh] = first_with_hash.emplace(static_cast<std::uint32_t>(hash_id(numbered(i))), i);
        if (!fresh) {
            a = numbered(it->second);
            b = numbered(i);
            break;
        }
    }
    Pool pool;
    const std::uint32_t ia = pool.intern(a, hash_id(a));
    EXPECT_EQ(pool.find(b, hash_id(b)), detail::kNoIndex);
    const std::uint32_t ib = pool.intern(b, hash_id(b));
    EXPECT_NE(ia, ib);
    EXPECT_EQ(pool.find(a, hash_id(a)), ia);
    EXPECT_EQ(pool.find(b, hash_id(b)), ib);
    EXPECT_EQ(pool.id(ib), b);
}

TEST(IdPool, ClearKeepsCapacityForALikeFillAndGivesBackTheRest) {
    Pool pool;
    for (std::uint32_t i = 0; i < 50'000; ++i) pool.intern(numbered(i), hash_id(numbered(i)));
    const std::size_t bytes = pool.memory_bytes();
    pool.clear(50'000);
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_EQ(pool.find(numbered(3), hash_id(numbered(3))), detail::kNoIndex);
    EXPECT_EQ(pool.memory_bytes(), bytes);
    for (std::uint32_t i = 0; i < 50'000; ++i) pool.intern(numbered(i + 7), hash_id(numbered(i + 7)));
    EXPECT_EQ(pool.memory_bytes(), bytes);
    EXPECT_EQ(pool[0].payload, 0);  // entries come back reset
    // A clear that expects a small fill gives the room of the large one back.
    pool.clear(10);
    EXPECT_LT(pool.memory_bytes(), bytes / 100);
    EXPECT_EQ(pool.find(numbered(8), hash_id(numbered(8))), detail::kNoIndex);
    for (std::uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(pool.intern(numbered(i), hash_id(numbered(i))), i);
}

// Room made ahead for a batch: asked for below what the pool holds it
// changes nothing; above, it grows the arrays once, the ids then intern at
// the indices they would have had, the pool stays sound, and it ends no
// larger than a pool that grew by doubling.
TEST(IdPool, ReserveMakesRoomForABatchInAdvance) {
    Pool pool;
    Pool grown;
    for (std::uint32_t i = 0; i < 100; ++i) {
        pool.intern(numbered(i), hash_id(numbered(i)));
        grown.intern(numbered(i), hash_id(numbered(i)));
    }
    const std::size_t small = pool.memory_bytes();
    pool.reserve(50);
    EXPECT_EQ(pool.memory_bytes(), small);
    pool.reserve(40'000);
    EXPECT_GT(pool.memory_bytes(), small);
    for (std::uint32_t i = 0; i < 100; ++i) ASSERT_EQ(pool.find(numbered(i), hash_id(numbered(i))), i);
    for (std::uint32_t i = 100; i < 40'000; ++i) {
        ASSERT_EQ(pool.intern(numbered(i), hash_id(numbered(i))), i);
        grown.intern(numbered(i), hash_id(numbered(i)));
    }
    EXPECT_EQ(pool.check([](const NodeId& id) { return hash_id(id); }), nullptr);
    EXPECT_LE(pool.memory_bytes(), grown.memory_bytes());
}

// The hash as it was before it took a key: fixed constants, so ids could be
// chosen to collide. Kept here as the attacker's model.
std::uint64_t unkeyed_hash(const NodeId& id) {
    std::uint64_t lo;
    std::uint64_t hi;
    std::memcpy(&lo, id.bytes.data(), 8);
    std::memcpy(&hi, id.bytes.data() + 8, 8);
    lo ^= 0x9e3779b97f4a7c15ull;
    hi ^= 0xc2b2ae3d27d4eb4full;
    const unsigned __int128 product = static_cast<unsigned __int128>(lo) * hi;
    std::uint64_t h = 16 + std::rotl(lo, 32) + hi +
                      (static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64));
    h ^= h >> 37;
    h *= 0x165667919e3779f9ull;
    h ^= h >> 32;
    return h;
}

// The j-th id whose unkeyed hash is (j << 32) | low: with the first half set
// to the constant it is mixed with, the product vanishes and the second half
// follows from the hash by undoing the final mix.
NodeId unkeyed_collision(std::uint32_t j, std::uint32_t low) {
    constexpr std::uint64_t m = 0x165667919e3779f9ull;
    std::uint64_t inverse = m;
    for (int i = 0; i < 6; ++i) inverse *= 2 - m * inverse;
    std::uint64_t h = (std::uint64_t{j} << 32) | low;
    h ^= h >> 32;
    h *= inverse;
    h ^= h >> 37;
    const std::uint64_t lo = 0x9e3779b97f4a7c15ull;
    const std::uint64_t hi = (h - 16) ^ 0xc2b2ae3d27d4eb4full;
    NodeId id;
    std::memcpy(id.bytes.data(), &lo, 8);
    std::memcpy(id.bytes.data() + 8, &hi, 8);
    return id;
}

// Ids chosen to share one probe run under the unkeyed hash spread out under
// the keyed one: no run grows with their number.
TEST(IdHash, KeyDefeatsChosenCollisions) {
    constexpr std::uint32_t n = 20'000;
    Pool pool;
    for (std::uint32_t j = 1; j <= n; ++j) {
        const NodeId id = unkeyed_collision(j, 0x5eed);
        ASSERT_EQ(static_cast<std::uint32_t>(unkeyed_hash(id)), 0x5eedu);
        pool.intern(id, hash_id(id));
    }
    EXPECT_EQ(pool.size(), n);
    EXPECT_LT(pool.longest_probe(), 200u);
}

// The hash is the two folded products its comment gives, whatever
// instructions form them: checked against the plain 128-bit arithmetic on
// random ids and on the ids that make a product's words all zero or all
// ones (a half equal to its key word, or its complement).
TEST(IdHash, IsTheTwoFoldedProducts) {
    const IdHashKey& key = id_hash_key;
    const auto fold = [](std::uint64_t a, std::uint64_t b) {
        const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
    };
    const auto expected = [&](std::uint64_t lo, std::uint64_t hi) {
        return fold(fold(lo ^ key.k0, hi ^ key.k1) ^ key.k2, std::rotl(lo, 32) ^ hi ^ key.k3);
    };
    std::mt19937_64 rng(7);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> halves = {
        {key.k0, rng()}, {rng(), key.k1}, {~key.k0, ~key.k1}, {0, 0}, {~0ull, ~0ull}};
    for (int i = 0; i < 10'000; ++i) halves.emplace_back(rng(), rng());
    for (const auto& [lo, hi] : halves) {
        NodeId id;
        std::memcpy(id.bytes.data(), &lo, 8);
        std::memcpy(id.bytes.data() + 8, &hi, 8);
        ASSERT_EQ(hash_id(id), expected(lo, hi)) << lo << " " << hi;
    }
}

// Families of ids that share most of their bytes, as sequential and
// time-ordered UUIDs do. Thrown into 2^16 buckets by the low hash bits (what
// the pool uses), 2^16 ids should leave about 1/e of the buckets empty and
// no bucket crowded, as random keys would. The key is drawn afresh in every
// process, so the bound on the fullest bucket is a probability: with random
// keys a bucket of 11 turns up in about one run in fifty (31 families of
// 2^16), one of 13 in fewer than one in five thousand, and a hash that
// ignores some bytes fills buckets by the hundred.
TEST(IdHash, SpreadsIdsThatDifferInFewBytes) {
    constexpr std::uint32_t n = 1u << 16;
    auto spread_of = [&](auto make) {
        std::vector<std::uint32_t> buckets(n);
        for (std::uint32_t i = 0; i < n; ++i) ++buckets[hash_id(make(i)) & (n - 1)];
        const auto empty = std::count(buckets.begin(), buckets.end(), 0u);
        const auto crowded = *std::max_element(buckets.begin(), buckets.end());
        EXPECT_NEAR(static_cast<double>(empty) / n, 0.3679, 0.01);
        EXPECT_LE(crowded, 12u);
    };
    for (int pos = 0; pos < 15; ++pos) {
        SCOPED_TRACE(pos);
        // two adjacent bytes counting, the rest all zero or all equal
        spread_of([&](std::uint32_t i) {
            NodeId id;
            id.bytes[pos] = static_cast<std::uint8_t>(i);
            id.bytes[pos + 1] = static_cast<std::uint8_t>(i >> 8);
            return id;
        });
        spread_of([&](std::uint32_t i) {
            NodeId id;
            id.bytes.fill(0xa7);
            id.bytes[pos] = static_cast<std::uint8_t>(i >> 8);
            id.bytes[pos + 1] = static_cast<std::uint8_t>(i);
            return id;
        });
    }
    // a time-ordered layout: big-endian millisecond counter up front, fixed tail
    spread_of([](std::uint32_t i) {
        NodeId id;
        const std::uint64_t ms = 0x018f'0000'0000ull + i * 3ull;
        for (int b = 0; b < 6; ++b) id.bytes[b] = static_cast<std::uint8_t>(ms >> (40 - 8 * b));
        id.bytes[6] = 0x70;
        id.bytes[8] = 0x80;
        return id;
    });
    // one bit set anywhere, one byte 0..255 at any position: all distinct
    std::set<std::uint64_t> seen{hash_id(NodeId{})};
    for (int pos = 0; pos < 16; ++pos) {
        for (int v = 1; v < 256; ++v) {
            NodeId id;
            id.bytes[pos] = static_cast<std::uint8_t>(v);
            EXPECT_TRUE(seen.insert(hash_id(id)).second) << pos << " " << v;
        }
    }
}

}  // namespace
}  // namespace tarnu
