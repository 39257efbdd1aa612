// The node store on its own: what it can get wrong that the diff's model
// test would see only by chance (compaction under churn, texts that end at
// the buffer's end, empty texts, a failed allocation in the middle of a
// compaction).

#include <gtest/gtest.h>

#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "node_update/node_update_json.hpp"
#include "node_update/node_update_store.hpp"

namespace tarnu {
namespace {

// A distinct node id for each n.
NodeId key(std::uint32_t n) {
    NodeId id;
    for (int i = 0; i < 4; ++i) id.bytes[4 * i] = static_cast<std::uint8_t>(n >> (8 * i));
    return id;
}

// The store beside a plain vector of owned updates and their ids, removed
// the same way.
struct Pair {
    NodeUpdateStore store;
    std::vector<NodeUpdate> model;
    std::vector<NodeId> ids;
    std::uint32_t next_id = 0;

    void push(const NodeUpdate& u) {
        store.push_back(key(next_id), u);
        model.push_back(u);
        ids.push_back(key(next_id++));
    }
    void assign(std::size_t pos, const NodeUpdate& u) {
        store.assign(pos, u);
        model[pos] = u;
    }
    void remove(std::size_t pos) {
        store.remove(pos);
        model[pos] = model.back();
        model.pop_back();
        ids[pos] = ids.back();
        ids.pop_back();
    }
    void check() const {
        ASSERT_EQ(store.size(), model.size());
        std::uint64_t json = 0;
        std::size_t live = 0;
        for (std::size_t i = 0; i < model.size(); ++i) {
            ASSERT_TRUE(store.view(i) == model[i]) << "at " << i;
            ASSERT_TRUE(store.id(i) == ids[i]) << "at " << i;
            ASSERT_EQ(store.json_length(i), node_update_json_length(model[i]));
            json += store.json_length(i);
            live += (model[i].label ? model[i].label->size() : 0) + (model[i].url ? model[i].url->size() : 0);
            if (model[i].size) {  // its JSON text after a length byte
                char text[kFloatTextCapacity];
                const std::size_t length = write_size_text(text, *model[i].size);
                ASSERT_EQ(store.size_text(i), std::string_view(text, length));
                live += 1 + length;
            }
        }
        ASSERT_EQ(store.json_bytes(), json);
        ASSERT_EQ(store.text_bytes() - store.dead_text_bytes(), live);
    }
};

NodeUpdate text_update(std::mt19937_64& rng, std::size_t longest) {
    NodeUpdate u;
    if (rng() % 4 != 0) u.label = std::string(rng() % (longest + 1), static_cast<char>('a' + rng() % 26));
    if (rng() % 3 != 0) u.url = std::string(rng() % (longest + 1), static_cast<char>(rng() % 128));
    if (rng() % 2) u.size = static_cast<float>(rng() % 1000) / 8.0F;
    if (rng() % 2) u.red = static_cast<std::uint8_t>(rng());
    if (rng() % 2) u.show_label = rng() % 2 == 0;
    return u;
}

TEST(NodeUpdateStore, ChurnKeepsTheTextsWithinABoundOfWhatIsLive) {
    std::mt19937_64 rng(14);
    Pair p;
    std::size_t compactions = 0;
    for (int step = 0; step < 200'000; ++step) {
        const auto kind = rng() % 10;
        if (p.model.size() < 50 || kind == 0) {
            p.push(text_update(rng, 300));
        } else if (kind == 1) {
            p.remove(rng() % p.model.size());
        } else {
            p.assign(rng() % p.model.size(), text_update(rng, 300));
        }
        if (p.store.dead_text_bytes() == 0 && p.store.text_bytes() > 0) ++compactions;
        if (step % 97 == 0) {
            ASSERT_NO_FATAL_FAILURE(p.check()) << "step " << step;
        }
        const std::size_t live = p.store.text_bytes() - p.store.dead_text_bytes();
        // Compacted to 1.5x when a quarter is dead, doubled otherwise.
        ASSERT_LE(p.store.text_capacity(), 4 * live + 128 * 1024) << "step " << step;
    }
    ASSERT_NO_FATAL_FAILURE(p.check());
    EXPECT_GT(compactions, 10U);
    p.store.clear();
    EXPECT_EQ(p.store.memory_bytes(), 0U);
    EXPECT_EQ(p.store.json_bytes(), 0U);
}

TEST(NodeUpdateStore, TextsThatEndAtTheBuffersEndAndEmptyTexts) {
    Pair p;
    NodeUpdate empty_texts;
    empty_texts.label = "";
    empty_texts.url = "";
    p.push(empty_texts);  // present but empty: no text bytes, yet not absent
    p.push(NodeUpdate{});
    EXPECT_EQ(p.store.text_capacity(), 0U);
    NodeUpdate fill;
    fill.label = std::string(1000, 'x');
    fill.url = std::string(24, '/');
    p.push(fill);  // exactly the first buffer's 1024 bytes
    const std::size_t capacity = p.store.text_capacity();
    EXPECT_EQ(p.store.text_bytes(), capacity);
    p.push(empty_texts);  // needs no room
    EXPECT_EQ(p.store.text_capacity(), capacity);
    NodeUpdate one;
    one.url = "u";
    p.push(one);  // the first byte past the end
    EXPECT_GT(p.store.text_capacity(), capacity);
    ASSERT_NO_FATAL_FAILURE(p.check());
    // Replacing by texts no longer than the old ones reuses their place.
    NodeUpdate shorter;
    shorter.label = std::string(999, 'y');
    const std::size_t used = p.store.text_bytes();
    p.assign(2, shorter);
    EXPECT_EQ(p.store.text_bytes(), used);
    EXPECT_EQ(p.store.dead_text_bytes(), 25U);
    ASSERT_NO_FATAL_FAILURE(p.check());
    EXPECT_EQ(p.store.view(0).label, std::optional<std::string_view>(""));
    EXPECT_EQ(p.store.view(1).label, std::nullopt);
}

TEST(NodeUpdateStore, AFailedGrowthOrCompactionChangesNothing) {
    Pair p;
    NodeUpdate big;
    big.label = std::string(500, 'a');
    p.push(big);
    NodeUpdate bigger;
    bigger.label = std::string(501, 'c');
    p.assign(0, bigger);  // appended: the first 500 bytes are dead
    NodeUpdate next;
    next.url = std::string(100, 'd');
    NodeUpdate longer;  // than the texts it replaces: no reuse of their place
    longer.url = std::string(600, 'e');
    const std::size_t dead = p.store.dead_text_bytes();
    ASSERT_EQ(dead, 500U);

    for (int attempt = 0; attempt < 2; ++attempt) {
        test_support::fail_next_text_allocation = true;
        if (attempt == 0) {
            EXPECT_THROW(p.store.push_back(key(1), next), std::bad_alloc);  // a compaction was due
        } else {
            EXPECT_THROW(p.store.assign(0, longer), std::bad_alloc);
        }
        EXPECT_EQ(p.store.dead_text_bytes(), dead);
        ASSERT_NO_FATAL_FAILURE(p.check());
    }
    p.push(next);  // goes through now, compacting
    EXPECT_EQ(p.store.dead_text_bytes(), 0U);
    ASSERT_NO_FATAL_FAILURE(p.check());

    // Growth without dead bytes fails the same way.
    NodeUpdate huge;
    huge.url = std::string(p.store.text_capacity(), 'h');
    test_support::fail_next_text_allocation = true;
    EXPECT_THROW(p.store.push_back(key(2), huge), std::bad_alloc);
    EXPECT_FALSE(test_support::fail_next_text_allocation);
    ASSERT_NO_FATAL_FAILURE(p.check());
}

TEST(NodeUpdateStore, AnUpdateTakenFromTheStoreItselfIsCopiedSafely) {
    Pair p;
    NodeUpdate u;
    u.label = std::string(600, 'l');
    u.url = std::string(300, 'u');
    p.push(u);
    // A view into the store's own buffer, which the assignment may move.
    p.store.assign(0, p.store.view(0));
    p.store.push_back(key(1), p.store.view(0));
    p.model.push_back(u);
    p.ids.push_back(key(1));
    ASSERT_NO_FATAL_FAILURE(p.check());
}

}  // namespace
}  // namespace tarnu
