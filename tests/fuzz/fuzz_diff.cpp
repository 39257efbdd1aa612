// clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -I src -I tests/cpp tests/fuzz/fuzz_diff.cpp src/diff/*.cpp src/node_update/*.cpp -o fuzz_diff
//
// libFuzzer entry point over the model-based harness of the diff record: the
// input is decoded into operations (its first byte picks the size of the id
// pool), applied to the record and to the std::map reference; after every
// operation the record's invariants are checked and the two are compared. A
// broken invariant or a disagreement aborts with a description of the latest
// operations.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "diff_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnu::testing::InputBytes in(data, size);
    const std::string failure = tarnu::testing::run_model(in, 100'000);
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
