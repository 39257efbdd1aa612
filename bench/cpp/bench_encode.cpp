// Encoding figures: an edge-heavy diff against a plain write of the same
// number of bytes, a node-heavy diff per node, and the float text per value.
// Each figure is the best of several runs, taken in this one process, in
// processor time (user + system) rather than wall time: the machine is shared,
// and time spent waiting for a core is not the encoder's.

#include <algorithm>
#include <bit>
#include <charconv>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bytes/graph_diff_to_bytes.hpp"
#include "node_update/float_text.hpp"

namespace {

using tarnu::GraphDiff;
using tarnu::NodeId;
using tarnu::NodeUpdate;

volatile std::size_t g_sink = 0;  // keeps results observable

template <class F>
double best_seconds(int runs, F&& f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const std::clock_t start = std::clock();
        f();
        best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    }
    return best;
}

NodeId random_id(std::mt19937_64& rng) {
    NodeId id;
    const std::uint64_t halves[2] = {rng(), rng()};
    std::memcpy(id.bytes.data(), halves, 16);
    return id;
}

// An output buffer as to_bytes gets one: allocated, not zeroed.
class ByteBuffer {
public:
    explicit ByteBuffer(std::size_t size) : data_(std::make_unique_for_overwrite<std::uint8_t[]>(size)) {}
    std::uint8_t* data() noexcept { return data_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> data_;
};

// The encoding as to_bytes makes it: sized, a fresh buffer, one write pass.
std::size_t encode_once(const GraphDiff& diff) {
    const tarnu::DiffEncoding encoding(diff);
    ByteBuffer bytes(encoding.size());
    if (encoding.write_to(bytes.data())) return 0;
    return encoding.size() + bytes.data()[encoding.size() - 1];
}

void edge_heavy() {
    constexpr int kSources = 100'000;
    constexpr int kTargetsPerSource = 10;
    constexpr int kIds = 200'000;
    std::mt19937_64 rng(1);
    std::vector<NodeId> ids(kIds);
    for (NodeId& id : ids) id = random_id(rng);
    GraphDiff diff;
    for (int s = 0; s < kSources; ++s) {
        for (int t = 0; t < kTargetsPerSource; ++t) {
            (void)diff.add_edge(ids[s], ids[rng() % kIds], static_cast<float>(rng() % 1000) / 8.0F);
        }
    }
    const tarnu::DiffEncoding encoding(diff);
    const std::size_t size = encoding.size();
    std::vector<std::uint8_t> source(size, 1);

    const int runs = 9;
    const double encode = best_seconds(runs, [&] { g_sink = g_sink + encode_once(diff); });
    const double alloc_memset = best_seconds(runs, [&] {
        ByteBuffer b(size);
        std::memset(b.data(), 1, size);
        g_sink = g_sink + b.data()[size - 1];
    });
    const double alloc_memcpy = best_seconds(runs, [&] {
        ByteBuffer b(size);
        std::memcpy(b.data(), source.data(), size);
        g_sink = g_sink + b.data()[size - 1];
    });
    ByteBuffer warm(size);
    const double write_warm = best_seconds(runs, [&] { g_sink = g_sink + encoding.write_to(warm.data()).has_value(); });
    const double memset_warm = best_seconds(runs, [&] { std::memset(warm.data(), 2, size); });
    // Only reading what the write pass reads: every source and target id and weight.
    const double walk = best_seconds(runs, [&] {
        std::uint64_t sum = 0;
        diff.edges().new_or_updated().for_each([&sum](const NodeId& source, const auto& targets) {
            sum += source.bytes[0];
            targets.for_each([&sum](const NodeId& target, float weight) {
                sum += target.bytes[0] + target.bytes[15] + std::bit_cast<std::uint32_t>(weight);
            });
        });
        g_sink = g_sink + sum;
    });

    std::printf("edge-heavy diff: %d edges over %d sources, %zu bytes\n", kSources * kTargetsPerSource, kSources, size);
    std::printf("  encode, fresh buffer     %7.2f ms\n", encode * 1e3);
    std::printf("  allocate + memset        %7.2f ms   ratio %.2f (target <= 2)\n", alloc_memset * 1e3,
                encode / alloc_memset);
    std::printf("  allocate + memcpy        %7.2f ms   ratio %.2f\n", alloc_memcpy * 1e3, encode / alloc_memcpy);
    std::printf("  write pass, warm buffer  %7.2f ms   vs memset of it %.2f ms, ratio %.2f\n", write_warm * 1e3,
                memset_warm * 1e3, write_warm / memset_warm);
    std::printf("  reading the record alone %7.2f ms   (walk of every edge, writing nothing)\n", walk * 1e3);
}

void node_heavy() {
    constexpr int kNodes = 200'000;
    std::mt19937_64 rng(2);
    std::vector<std::pair<NodeId, NodeUpdate>> input;
    input.reserve(kNodes);
    for (int i = 0; i < kNodes; ++i) {
        NodeUpdate u;
        std::string label(10 + rng() % 21, ' ');
        for (char& c : label) c = static_cast<char>('a' + rng() % 26);
        u.label = std::move(label);
        u.size = static_cast<float>(rng() % 1'000'000) / 100.0F;
        u.url = "https://example.org/nodes/" + std::to_string(rng() % 10'000'000);
        u.red = static_cast<std::uint8_t>(rng());
        u.green = static_cast<std::uint8_t>(rng());
        u.blue = static_cast<std::uint8_t>(rng());
        u.show_label = rng() % 2 == 0;
        input.emplace_back(random_id(rng), std::move(u));
    }
    GraphDiff diff;
    const int runs = 7;
    // Storing: interning the id, counting the JSON length, copying the texts.
    const double store = best_seconds(runs, [&] {
        diff.clear();
        for (const auto& [id, u] : input) diff.set_node_update(id, u);
        g_sink = g_sink + diff.num_nodes();
    });
    const tarnu::DiffEncoding encoding(diff);
    const std::size_t size = encoding.size();

    const double encode = best_seconds(runs, [&] { g_sink = g_sink + encode_once(diff); });
    const double sizing = best_seconds(runs, [&] {
        const tarnu::DiffEncoding e(diff);
        g_sink = g_sink + e.size();
    });
    ByteBuffer warm(size);
    const double write_warm = best_seconds(runs, [&] { g_sink = g_sink + encoding.write_to(warm.data()).has_value(); });
    const double alloc_memset = best_seconds(runs, [&] {
        ByteBuffer b(size);
        std::memset(b.data(), 1, size);
        g_sink = g_sink + b.data()[size - 1];
    });
    ByteBuffer source(size);
    std::memset(source.data(), 1, size);
    const double copy_warm = best_seconds(runs, [&] {
        std::memcpy(warm.data(), source.data(), size);
        g_sink = g_sink + warm.data()[size - 1];
    });

    const double per_node = 1e9 / kNodes;
    std::printf("node-heavy diff: %d nodes with all seven properties, %zu bytes\n", kNodes, size);
    std::printf("  render, straight into a warm output  %6.1f ns/node (target <= 50; memcpy of the same bytes %.1f)\n",
                write_warm * per_node, copy_warm * per_node);
    std::printf("  sizing (from kept counts)            %6.3f ms for the whole diff\n", sizing * 1e3);
    std::printf("  set_node_update (store the update)   %6.1f ns/node\n", store * per_node);
    std::printf("  encode, fresh buffer                 %6.1f ns/node (includes a fresh output buffer;\n",
                encode * per_node);
    std::printf("                                         allocate + memset of it alone: %.1f ns/node)\n",
                alloc_memset * per_node);
}

void float_text() {
    std::mt19937 rng(3);
    std::vector<float> values;
    while (values.size() < 1'000'000) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (std::isfinite(f)) values.push_back(f);
    }
    const int runs = 7;
    const double ours = best_seconds(runs, [&] {
        char text[tarnu::kFloatTextCapacity];
        std::size_t total = 0;
        for (float v : values) total += static_cast<std::size_t>(tarnu::write_float_text(text, v) - text);
        g_sink = g_sink + total;
    });
    const double library = best_seconds(runs, [&] {
        char text[64];
        std::size_t total = 0;
        for (float v : values) {
            total += static_cast<std::size_t>(std::to_chars(text, text + sizeof text, v, std::chars_format::scientific).ptr - text);
        }
        g_sink = g_sink + total;
    });
    const double per_value = 1e9 / static_cast<double>(values.size());
    std::printf("float text over %zu random finite floats\n", values.size());
    std::printf("  write_float_text          %5.1f ns/value (target <= 40)\n", ours * per_value);
    std::printf("  std::to_chars alone       %5.1f ns/value (the digits it builds on)\n", library * per_value);
}

}  // namespace

int main() {
    edge_heavy();
    node_heavy();
    float_text();
}
