// The record's batches against a loop of single-item operations, on the
// workloads of bench/bulk.py without the interpreter: time per item, and a
// single case to run under callgrind for instruction counts.
//
//   cmake -S . -B build/bench -DTARNU_BUILD_BENCH=ON -DTARNU_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_bulk && build/bench/bench/cpp/bench_bulk [CASE MODE]
//
// CASE is small, large, bulk, bulk_again, delete_edges or delete_nodes; MODE
// is loop or batch. `bulk` is the reference load of the core: 1,000,000
// edges over 100,000 random ids (each the source of 10 edges to others of
// the same set), in random order, from one contiguous array; `bulk_again`
// loads that batch a second time into the diff that holds it (every pair
// known, weights replaced). Under callgrind only the load is counted:
//
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*timed_load*' BENCH bulk batch
//
// and likewise '(anonymous namespace)::timed_delete_edges*' and '...::timed_delete_nodes*'
// (not '*timed_delete_nodes*', which names the batch's run_batch too and so
// toggles collection off inside it) for the
// two delete cases (20 fresh diffs each: divide by 20,000 edges or 2,000 nodes).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "diff/graph_diff.hpp"

namespace {

using tarnu::GraphDiff;
using tarnu::NodeId;

struct Edge {
    NodeId from;
    NodeId to;
    float weight;
};

std::vector<NodeId> random_ids(std::size_t n, std::mt19937_64& rng) {
    std::vector<NodeId> ids(n);
    for (NodeId& id : ids) {
        const std::uint64_t half[2] = {rng(), rng()};
        std::memcpy(id.bytes.data(), half, 16);
    }
    return ids;
}

// n edges over `sources` sources, each source with n / sources targets, in random order.
std::vector<Edge> random_edges(std::size_t n, std::size_t sources, std::mt19937_64& rng) {
    const std::vector<NodeId> from = random_ids(sources, rng);
    const std::vector<NodeId> to = random_ids(sources, rng);
    std::vector<Edge> edges;
    const std::size_t per = n / sources;
    for (std::size_t e = 0; e < sources * per; ++e)
        edges.push_back({from[e / per], to[(e / per + (e % per) * 7919) % sources], static_cast<float>(e)});
    std::shuffle(edges.begin(), edges.end(), rng);
    return edges;
}

// n edges over `ids` ids, each the source of n / ids edges to other ids of the same set, in random order.
std::vector<Edge> random_edges_among(std::size_t n, std::size_t ids, std::mt19937_64& rng) {
    const std::vector<NodeId> id = random_ids(ids, rng);
    std::vector<Edge> edges;
    const std::size_t per = n / ids;
    std::uniform_int_distribution<std::size_t> other(1, ids - 1);
    for (std::size_t s = 0; s < ids; ++s) {
        std::vector<std::size_t> targets;
        while (targets.size() < per) {
            const std::size_t t = (s + other(rng)) % ids;
            if (std::find(targets.begin(), targets.end(), t) == targets.end()) targets.push_back(t);
        }
        for (std::size_t t : targets) edges.push_back({id[s], id[t], static_cast<float>(edges.size())});
    }
    std::shuffle(edges.begin(), edges.end(), rng);
    return edges;
}

const auto no_hook = [](std::size_t) {};

void add_all(GraphDiff& d, const std::vector<Edge>& edges, bool batch) {
    if (batch) {
        std::size_t done = 0;
        d.add_edges(
            edges.size(), [&](std::size_t i) -> const NodeId& { return edges[i].from; }, [&](std::size_t i) -> const NodeId& { return edges[i].to; },
            [&](std::size_t i) { return edges[i].weight; }, done, no_hook);
    } else {
        for (const Edge& e : edges) (void)d.add_edge(e.from, e.to, e.weight);
    }
}

// The timed part of the bulk cases, out of line so that callgrind can count it alone.
[[gnu::noinline]] void timed_load(GraphDiff& d, const std::vector<Edge>& edges, bool batch) {
    add_all(d, edges, batch);
}

[[gnu::noinline]] void timed_delete_edges(GraphDiff& d, const std::vector<Edge>& edges, bool batch) {
    if (batch) {
        std::size_t done = 0;
        d.delete_edges(
            edges.size(), [&](std::size_t i) -> const NodeId& { return edges[i].from; }, [&](std::size_t i) -> const NodeId& { return edges[i].to; },
            done, no_hook);
    } else {
        for (const Edge& e : edges) d.delete_edge(e.from, e.to);
    }
}

[[gnu::noinline]] void timed_delete_nodes(GraphDiff& d, const std::vector<NodeId>& ids, bool batch) {
    if (batch) {
        std::size_t done = 0;
        d.delete_nodes(ids.size(), [&](std::size_t i) -> const NodeId& { return ids[i]; }, done, no_hook);
    } else {
        for (const NodeId& id : ids) d.delete_node(id);
    }
}

// Runs one case once, untimed setup included; returns ns per item of the timed part.
double run_case(const std::string& name, bool batch, int rounds) {
    std::mt19937_64 rng(7);
    double total_ns = 0;
    std::size_t items = 0;
    const auto timed = [&](auto&& body, std::size_t count) {
        const auto start = std::chrono::steady_clock::now();
        body();
        total_ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        items += count;
    };
    if (name == "small") {
        const std::vector<Edge> edges = random_edges(1000, 100, rng);
        GraphDiff d;
        add_all(d, edges, false);
        for (int r = 0; r < rounds * 20; ++r) timed([&] { add_all(d, edges, batch); }, edges.size());
    } else if (name == "large") {
        const std::vector<Edge> edges = random_edges(1'000'000, 100'000, rng);
        for (int r = 0; r < rounds; ++r) {
            GraphDiff d;
            timed([&] { add_all(d, edges, batch); }, edges.size());
        }
    } else if (name == "bulk" || name == "bulk_again") {
        const std::vector<Edge> edges = random_edges_among(1'000'000, 100'000, rng);
        for (int r = 0; r < rounds; ++r) {
            GraphDiff d;
            if (name == "bulk_again") add_all(d, edges, batch);
            timed([&] { timed_load(d, edges, batch); }, edges.size());
            if (r == 0 && batch)
                std::fprintf(stderr, "%s: %.1f B/edge\n", name.c_str(),
                             static_cast<double>(d.memory_bytes()) / static_cast<double>(edges.size()));
        }
    } else if (name == "delete_edges") {
        const std::vector<Edge> edges = random_edges(1000, 100, rng);
        for (int r = 0; r < rounds * 20; ++r) {
            GraphDiff d;
            add_all(d, edges, false);
            timed([&] { timed_delete_edges(d, edges, batch); }, edges.size());
        }
    } else if (name == "delete_nodes") {
        const std::vector<NodeId> victims = random_ids(100, rng);
        std::vector<Edge> edges = random_edges(1000, 100, rng);
        for (std::size_t i = 0; i < 1000; ++i) {
            edges.push_back({edges[i].from, victims[i % 100], 1.0f});
            edges[i].from = victims[i % 100];
        }
        for (int r = 0; r < rounds * 20; ++r) {
            GraphDiff d;
            add_all(d, edges, false);
            timed([&] { timed_delete_nodes(d, victims, batch); }, victims.size());
        }
    }
    return items == 0 ? 0 : total_ns / static_cast<double>(items);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {  // one case, for callgrind
        std::printf("%.1f ns/item\n", run_case(argv[1], std::string(argv[2]) == "batch", 1));
        return 0;
    }
    std::printf("%-14s %12s %12s %8s\n", "case", "loop ns", "batch ns", "ratio");
    for (const char* name : {"small", "large", "bulk", "bulk_again", "delete_edges", "delete_nodes"}) {
        const double loop = run_case(name, false, 3);
        const double batch = run_case(name, true, 3);
        std::printf("%-14s %12.1f %12.1f %7.2fx\n", name, loop, batch, loop / batch);
    }
    return 0;
}
