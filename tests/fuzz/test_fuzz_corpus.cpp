// Every fuzz target as a core test: each replays its committed corpus once,
// so the targets' checks (the model comparison, the encoding read back, the
// JSON and float-text oracle, the decoder's round trip) run in the normal
// test run, with g++ and no libFuzzer. tests/cpp/CMakeLists.txt compiles the
// targets' own sources into the core tests, renaming each one's libFuzzer
// entry points to tarnu_<target>_one_input and tarnu_<target>_initialize so
// that they all live in one binary.
//
// A target reports a disagreement by printing it and calling std::abort(),
// as libFuzzer expects; the handler below adds the input being replayed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "corpus_files.hpp"

namespace {

using OneInput = int (*)(const std::uint8_t*, std::size_t);
using Initialize = int (*)(int*, char***);

}  // namespace

#define TARNU_FUZZ_TARGET(name)                                                   \
    extern "C" int tarnu_##name##_one_input(const std::uint8_t*, std::size_t);    \
    extern "C" __attribute__((weak)) int tarnu_##name##_initialize(int*, char***);
TARNU_FUZZ_TARGET(fuzz_diff)
TARNU_FUZZ_TARGET(fuzz_encoding)
TARNU_FUZZ_TARGET(fuzz_json)
TARNU_FUZZ_TARGET(fuzz_from_bytes)
TARNU_FUZZ_TARGET(fuzz_arrow)
TARNU_FUZZ_TARGET(fuzz_snapshot)
#undef TARNU_FUZZ_TARGET

namespace {

struct FuzzTarget {
    const char* name;
    const char* corpus;  // directory under tests/fuzz/corpus
    OneInput one_input;
    Initialize initialize;  // null when the target has none
};

const FuzzTarget kTargets[] = {
    {"fuzz_diff", "diff", tarnu_fuzz_diff_one_input, tarnu_fuzz_diff_initialize},
    {"fuzz_encoding", "diff", tarnu_fuzz_encoding_one_input, tarnu_fuzz_encoding_initialize},
    {"fuzz_json", "json", tarnu_fuzz_json_one_input, tarnu_fuzz_json_initialize},
    {"fuzz_from_bytes", "from_bytes", tarnu_fuzz_from_bytes_one_input, tarnu_fuzz_from_bytes_initialize},
    {"fuzz_arrow", "arrow", tarnu_fuzz_arrow_one_input, tarnu_fuzz_arrow_initialize},
    {"fuzz_snapshot", "diff", tarnu_fuzz_snapshot_one_input, tarnu_fuzz_snapshot_initialize},
};

// The input being replayed, for the abort handler: a fixed buffer, since the
// handler may only make async-signal-safe calls.
char replaying[4096];

void say(const char* text) {
    for (std::size_t left = std::strlen(text); left > 0;) {
        const ssize_t written = write(STDERR_FILENO, text, left);
        if (written <= 0) return;
        text += written;
        left -= static_cast<std::size_t>(written);
    }
}

extern "C" void name_the_input(int signal) {
    say("fuzz corpus: aborted while replaying ");
    say(replaying);
    say("\n");
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class FuzzCorpus : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzCorpus, ReplaysEveryCommittedInput) {
    const FuzzTarget& target = GetParam();
    if (target.initialize != nullptr) {
        int argc = 0;
        char** argv = nullptr;
        target.initialize(&argc, &argv);
    }
    const auto files = tarnu::testing::corpus_files(std::filesystem::path(TARNU_FUZZ_CORPUS_DIR) / target.corpus);
    ASSERT_GT(files.size(), 1u) << "no committed corpus for " << target.name;
    const auto previous = std::signal(SIGABRT, name_the_input);
    for (const auto& file : files) {
        const std::string shown = file.string();
        std::strncpy(replaying, shown.c_str(), sizeof replaying - 1);
        const auto bytes = tarnu::testing::read_input(file);
        EXPECT_EQ(target.one_input(bytes.data(), bytes.size()), 0) << file;
    }
    std::signal(SIGABRT, previous);
    RecordProperty("inputs", static_cast<int>(files.size()));
}

INSTANTIATE_TEST_SUITE_P(Committed, FuzzCorpus, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.name); });

}  // namespace
