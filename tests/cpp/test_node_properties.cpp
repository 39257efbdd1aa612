#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "node_update/node_properties.hpp"
#include "node_update/node_update.hpp"
#include "node_update/node_update_json.hpp"
#include "node_update/node_update_json_parse.hpp"
#include "node_update/node_update_store.hpp"
#include "node_update_text.hpp"

// Everything that lists the node properties is expanded from one table; these
// tests walk the table too, so that a property added to it is checked through
// every expansion without a test of its own: the fields, the JSON writer (its
// order, length count and bound), the JSON reader and the store.

namespace tarnu {
namespace {

// A few values of each kind, edge cases included.
std::vector<std::string> samples(node_property::Text) { return {"", "A", "q\"\\\x01\n\xc3\xa9/", std::string(40, 'x')}; }
std::vector<float> samples(node_property::Float) {
    return {0.5F, -0.0F, 1e13F, std::numeric_limits<float>::max(), std::numeric_limits<float>::infinity()};
}
std::vector<std::uint8_t> samples(node_property::Colour) { return {0, 9, 10, 99, 100, 255}; }
std::vector<bool> samples(node_property::Flag) { return {true, false}; }

// The update with the properties of `mask` (bit = row) present, each holding
// one of its kind's samples, picked by `pick`.
NodeUpdate update_of(unsigned mask, unsigned pick) {
    NodeUpdate update;
    for_each_node_property([&](auto property) {
        using P = decltype(property);
        if (!(mask >> P::index & 1)) return;
        const auto values = samples(typename P::Kind{});
        P::of(update) = values[(pick + P::index) % values.size()];
    });
    return update;
}

TEST(NodeProperties, EveryCombinationWritesReadsAndStoresAlike) {
    static_assert(kNodePropertyCount < 16);
    NodeUpdateStore store;
    for (unsigned mask = 0; mask < (1U << kNodePropertyCount); ++mask) {
        for (unsigned pick = 0; pick < 3; ++pick) {
            const NodeUpdate update = update_of(mask, pick);
            ASSERT_EQ(NodeUpdate(NodeUpdateView(update)), update);

            // The exact writer, the counted length, and the fast writer within the bound.
            const std::string text = testing::node_update_json_text(update);
            ASSERT_EQ(node_update_json_length(update), text.size()) << text;
            std::string area(node_update_json_bound(update), '\0');
            ASSERT_EQ(std::string(area.data(), write_node_update_json(area.data(), update)), text);

            // Each present key once, in the rows' order.
            std::size_t at = 0;
            for_each_node_property([&](auto property) {
                const std::size_t found = text.find(property.quoted_json_key, at);
                if (!property.of(update)) return;
                ASSERT_NE(found, std::string::npos) << property.json_key << " in " << text;
                at = found + 1;
            });
            if (mask == 0) {
                EXPECT_EQ(text, "{}");
            }

            // Read back, and stored: the same text again (a non-finite size
            // reads back as NaN, so texts are compared, not updates).
            NodeUpdate back;
            ASSERT_FALSE(parse_node_update_json(text, back).has_value()) << text;
            EXPECT_EQ(testing::node_update_json_text(back), text);
            store.push_back(NodeId{}, update);
            const std::size_t pos = store.size() - 1;
            EXPECT_EQ(NodeUpdate(store.view(pos)), update);
            EXPECT_EQ(store.json_length(pos), text.size());
        }
    }
}

}  // namespace
}  // namespace tarnu
