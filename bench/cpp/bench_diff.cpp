// Figures of the diff record: bytes per pending edge, time per add_edge, and
// time per delete_node as the number of sources grows.
//
//   cmake -S . -B build/bench -DTARNU_BUILD_BENCH=ON -DTARNU_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_diff && build/bench/bench/cpp/bench_diff

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <utility>
#include <vector>

#include "diff/graph_diff.hpp"

namespace {

using tarnu::GraphDiff;
using tarnu::NodeId;
using Clock = std::chrono::steady_clock;

long resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

std::vector<NodeId> random_ids(std::size_t n, std::mt19937_64& rng) {
    std::vector<NodeId> ids(n);
    for (NodeId& id : ids) {
        const std::uint64_t lo = rng();
        const std::uint64_t hi = rng();
        for (int b = 0; b < 8; ++b) {
            id.bytes[b] = static_cast<std::uint8_t>(lo >> (8 * b));
            id.bytes[8 + b] = static_cast<std::uint8_t>(hi >> (8 * b));
        }
    }
    return ids;
}

// Wall time and processor time per call. Other processes on a shared
// machine inflate the first; the second leaves out the time this process
// was not running (it still pays for caches that others evict).
struct Timer {
    Clock::time_point wall = Clock::now();
    std::clock_t cpu = std::clock();

    struct PerCall {
        double wall_ns;
        double cpu_ns;
    };
    PerCall per_call(std::size_t calls) const {
        const double n = static_cast<double>(calls);
        return {std::chrono::duration<double, std::nano>(Clock::now() - wall).count() / n,
                static_cast<double>(std::clock() - cpu) * 1e9 / CLOCKS_PER_SEC / n};
    }
};

void print_time(const char* what, Timer::PerCall t) {
    std::printf("  %-44s %7.1f ns per call (processor time; wall %.1f)\n", what, t.cpu_ns, t.wall_ns);
}

void add_all(GraphDiff& diff, const std::vector<NodeId>& from, const std::vector<NodeId>& to,
             const std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges) {
    float w = 0.0f;
    for (auto [s, t] : edges) {
        if (diff.add_edge(from[s], to[t], w += 1.0f)) std::abort();
    }
}

// sources x targets_each edges, every source to distinct targets, in random order.
// With `grouped`, each source's edges come one after another (sources in
// random order), as a caller walking its graph node by node adds them;
// otherwise all edges are shuffled.
std::vector<std::pair<std::uint32_t, std::uint32_t>> random_edges(std::uint32_t sources, std::uint32_t targets,
                                                                  std::uint32_t targets_each, bool grouped,
                                                                  std::mt19937_64& rng) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
    edges.reserve(static_cast<std::size_t>(sources) * targets_each);
    std::vector<std::uint32_t> picked;
    for (std::uint32_t s = 0; s < sources; ++s) {
        picked.clear();
        while (picked.size() < targets_each) {
            const auto t = static_cast<std::uint32_t>(rng() % targets);
            if (std::find(picked.begin(), picked.end(), t) == picked.end()) picked.push_back(t);
        }
        for (std::uint32_t t : picked) edges.emplace_back(s, t);
    }
    if (!grouped) {
        std::shuffle(edges.begin(), edges.end(), rng);
    } else {
        std::vector<std::uint32_t> order(sources);
        for (std::uint32_t i = 0; i < sources; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> regrouped;
        regrouped.reserve(edges.size());
        for (std::uint32_t s : order)
            for (std::uint32_t k = 0; k < targets_each; ++k) regrouped.push_back(edges[s * targets_each + k]);
        edges.swap(regrouped);
    }
    return edges;
}

void memory_and_add_edge(const char* title, std::uint32_t sources, bool targets_among_sources, bool grouped) {
    constexpr std::uint32_t kTargetsEach = 10;
    std::mt19937_64 rng(42);
    const std::vector<NodeId> nodes = random_ids(sources, rng);
    const std::vector<NodeId> others =
        targets_among_sources ? std::vector<NodeId>{} : random_ids(std::size_t{sources} * kTargetsEach, rng);
    const std::vector<NodeId>& targets = targets_among_sources ? nodes : others;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
    if (targets_among_sources) {
        edges = random_edges(sources, sources, kTargetsEach, grouped, rng);
    } else {
        for (std::uint32_t s = 0; s < sources; ++s)
            for (std::uint32_t k = 0; k < kTargetsEach; ++k) edges.emplace_back(s, s * kTargetsEach + k);
        std::shuffle(edges.begin(), edges.end(), rng);
    }
    const double n = static_cast<double>(edges.size());

    const long rss_before = resident_bytes();
    GraphDiff diff;
    const Timer start;
    add_all(diff, nodes, targets, edges);
    const Timer::PerCall build = start.per_call(edges.size());
    const long rss_after = resident_bytes();

    std::printf("%s\n", title);
    std::printf("  %zu pending edges over %zu sources\n", edges.size(), diff.edges().new_or_updated().size());
    std::printf("  memory_bytes():            %6.1f bytes per pending edge\n",
                static_cast<double>(diff.memory_bytes()) / n);
    std::printf("  resident memory growth:    %6.1f bytes per pending edge\n",
                static_cast<double>(rss_after - rss_before) / n);
    print_time("add_edge, filling it:", build);

    // One more million add_edge calls between random ids of the full diff:
    // new edges and re-weightings mixed.
    if (targets_among_sources) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> more(edges.size());
        for (auto& e : more) e = {static_cast<std::uint32_t>(rng() % sources), static_cast<std::uint32_t>(rng() % sources)};
        const Timer again;
        add_all(diff, nodes, targets, more);
        print_time("add_edge, random pairs into the full diff:", again.per_call(more.size()));
    }
}

// Sources 0..n-1 each with 10 edges to target-only nodes, every target
// receiving exactly 10; then 1000 (warm) or 200 (cold) of the targets are
// deleted in random order. Warm: one call after another, as a caller would
// make them; what the diff touches stays in cache only if the diff is small.
// Cold: the caches are flushed before each call, so both sizes pay the same
// for memory and the comparison shows how the work itself grows.
struct DeleteFigures {
    double warm_ns;
    double cold_ns;
};

DeleteFigures delete_node_ns(std::uint32_t sources) {
    constexpr std::uint32_t kIncoming = 10;
    std::mt19937_64 rng(sources);
    const std::vector<NodeId> from = random_ids(sources, rng);
    const std::vector<NodeId> to = random_ids(sources, rng);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
    const std::uint32_t stride = sources / kIncoming;
    for (std::uint32_t s = 0; s < sources; ++s)
        for (std::uint32_t k = 0; k < kIncoming; ++k) edges.emplace_back(s, (s + k * stride) % sources);
    std::vector<std::uint32_t> victims(sources);
    for (std::uint32_t i = 0; i < sources; ++i) victims[i] = i;
    std::vector<std::uint64_t> flush(std::size_t{64} << 20 >> 3, 1);
    std::uint64_t sink = 0;

    DeleteFigures best{1e300, 1e300};
    for (int round = 0; round < 5; ++round) {
        GraphDiff diff;
        add_all(diff, from, to, edges);
        std::shuffle(victims.begin(), victims.end(), rng);
        const Timer start;
        for (std::uint32_t i = 0; i < 1000; ++i) diff.delete_node(to[victims[i]]);
        best.warm_ns = std::min(best.warm_ns, start.per_call(1000).cpu_ns);
    }
    for (int round = 0; round < 2; ++round) {
        GraphDiff diff;
        add_all(diff, from, to, edges);
        std::shuffle(victims.begin(), victims.end(), rng);
        double total = 0;
        for (std::uint32_t i = 0; i < 200; ++i) {
            for (std::size_t j = 0; j < flush.size(); j += 8) sink += flush[j]++;
            const auto t0 = Clock::now();
            diff.delete_node(to[victims[i]]);
            total += std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        }
        best.cold_ns = std::min(best.cold_ns, total / 200);
    }
    if (sink == 42) std::printf(" ");
    return best;
}

// Many small fills, each small enough to stay in cache: the cost of
// add_edge itself, without waiting for memory.
void add_edge_in_cache() {
    constexpr std::uint32_t kSources = 2'000;
    std::mt19937_64 rng(7);
    const std::vector<NodeId> nodes = random_ids(kSources, rng);
    const auto edges = random_edges(kSources, kSources, 10, false, rng);
    GraphDiff diff;
    double best = 1e300;
    for (int round = 0; round < 50; ++round) {
        diff.clear();
        const Timer start;
        add_all(diff, nodes, nodes, edges);
        best = std::min(best, start.per_call(edges.size()).cpu_ns);
    }
    std::printf("A diff small enough to stay in cache (2,000 sources x 10, random order, refilled after clear):\n");
    std::printf("  add_edge:                                    %7.1f ns per call (processor time, best of 50)\n",
                best);
}

void delete_node_figures() {
    const DeleteFigures small = delete_node_ns(1'000);
    const DeleteFigures large = delete_node_ns(100'000);
    std::printf("delete_node of a node with 10 pending incoming edges:\n");
    std::printf("  warm, at   1,000 sources: %7.0f ns per call\n", small.warm_ns);
    std::printf("  warm, at 100,000 sources: %7.0f ns per call (ratio %.2f)\n", large.warm_ns,
                large.warm_ns / small.warm_ns);
    std::printf("  cold, at   1,000 sources: %7.0f ns per call\n", small.cold_ns);
    std::printf("  cold, at 100,000 sources: %7.0f ns per call (ratio %.2f)\n", large.cold_ns,
                large.cold_ns / small.cold_ns);
}

// Each figure in a fresh process, so that resident memory grows from the
// same start and no figure inherits another's heap or caches.
template <class F>
void in_child(F&& figure) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        figure();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace

int main() {
    in_child([] {
        memory_and_add_edge("100,000 random node ids, 10 targets each among them, added source by source:",
                            100'000, true, true);
    });
    in_child([] { memory_and_add_edge("The same graph, its edges added in random order:", 100'000, true, false); });
    in_child([] {
        memory_and_add_edge("For comparison, every target a fresh random id (1,100,000 distinct ids), random order:",
                            100'000, false, false);
    });
    in_child(add_edge_in_cache);
    in_child(delete_node_figures);
    return 0;
}
