// A main for the fuzz targets without libFuzzer: runs every file named on the
// command line (directories are walked) through the target once. This turns
// the committed corpus into an ordinary test that any compiler and valgrind
// can run. The core tests replay the committed corpus the same way
// (test_fuzz_corpus.cpp); this main is for a single file or another corpus.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "corpus_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Optional in a target, as with libFuzzer.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::size_t files = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& path : tarnu::testing::corpus_files(argv[i])) {
            const auto bytes = tarnu::testing::read_input(path);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++files;
        }
    }
    std::printf("replayed %zu inputs\n", files);
    return files == 0 ? 1 : 0;
}
