// The inputs of a fuzz corpus as files on disk, read the same way by the
// replay main (replay_main.cpp) and by the core tests that replay the
// committed corpus (test_fuzz_corpus.cpp).

#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace tarnu::testing {

// `path` itself if it is a file, else every regular file below it, sorted so
// that a replay visits the inputs in the same order on every machine.
inline std::vector<std::filesystem::path> corpus_files(const std::filesystem::path& path) {
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(path)) {
        files.push_back(path);
        return files;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

inline std::vector<std::uint8_t> read_input(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace tarnu::testing
