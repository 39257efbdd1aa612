// clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -I src -I tests/cpp tests/fuzz/fuzz_snapshot.cpp src/diff/*.cpp src/node_update/*.cpp src/bytes/*.cpp -o fuzz_snapshot
//
// libFuzzer entry point over the change between two snapshots: the input is
// decoded into cases (a pool of ids, a prior diff, two pairs of snapshots
// with repeated rows and edges at deleted nodes now and then), each
// computed and applied, and compared byte for byte with the replay of its
// definition through single operations, refusals included.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "diff_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnu::testing::InputBytes in(data, size);
    while (!in.exhausted()) {
        const std::string failure = tarnu::testing::run_snapshot_case(in);
        if (!failure.empty()) {
            std::fprintf(stderr, "%s\n", failure.c_str());
            std::abort();
        }
    }
    return 0;
}
