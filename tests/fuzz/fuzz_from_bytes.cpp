// libFuzzer target of graph_diff_from_bytes: whatever it accepts must encode
// back to exactly the bytes it was given (and so must a clone of it); what it
// refuses it refuses with an offset inside the input. Each input is tried
// twice:
//   - as it is: the seeds are valid encodings (tests/fuzz/corpus/from_bytes),
//     which libFuzzer's byte mutations bend into near-valid ones;
//   - as a script for the model harness, which builds a diff and encodes it;
//     the encoding then gets a few structured mutations (a byte changed, a
//     count or id length overwritten, an id copied over another, a cut, an
//     insertion) chosen from a hash of the input, and is decoded in turn.
// The replay build runs the corpus as an ordinary test.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "bytes/graph_diff_from_bytes.hpp"
#include "bytes/graph_diff_to_bytes.hpp"
#include "diff_model.hpp"

namespace {

using tarnu::DecodeError;
using tarnu::DecodeResult;
using tarnu::GraphDiff;

std::uint64_t inputs_run = 0;
std::uint64_t accepted = 0;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "fuzz_from_bytes: %s\n", why.c_str());
    std::abort();
}

std::vector<std::uint8_t> encode(const GraphDiff& diff) {
    const tarnu::DiffEncoding encoding(diff);
    std::vector<std::uint8_t> out(encoding.size());
    if (encoding.write_to(out.data())) fail("the encoder refused a record");
    return out;
}

void check(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes, so that ASan sees any read past the end.
    const std::vector<std::uint8_t> input(data, data + size);
    DecodeResult result = tarnu::graph_diff_from_bytes(input.data(), input.size());
    if (const auto* error = std::get_if<DecodeError>(&result)) {
        if (error->offset > size) fail("a refusal at an offset beyond the input");
        if (error->reason.empty()) fail("a refusal without a reason");
        return;
    }
    ++accepted;
    const GraphDiff& diff = std::get<GraphDiff>(result);
    if (encode(diff) != input) fail("an accepted input does not encode back to itself");
    if (encode(diff.clone()) != input) fail("a clone of a restored diff encodes differently");
}

void mutate(std::vector<std::uint8_t>& bytes, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int n = 1 + static_cast<int>(rng() % 3); n > 0 && !bytes.empty(); --n) {
        const std::size_t at = rng() % bytes.size();
        switch (rng() % 6) {
            case 0: bytes[at] = static_cast<std::uint8_t>(rng()); break;
            case 1: {  // a count or id length replaced by a telling value
                static constexpr std::uint64_t kValues[] = {0, 1, 2, 15, 16, 17, 1ull << 32, 1ull << 60, ~0ull};
                const std::uint64_t v = kValues[rng() % std::size(kValues)];
                for (std::size_t i = 0; i < 8 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
                break;
            }
            case 2: {  // an id copied over another place: repeats and conflicts
                const std::size_t from = rng() % bytes.size();
                for (std::size_t i = 0; i < 16 && from + i < bytes.size() && at + i < bytes.size(); ++i)
                    bytes[at + i] = bytes[from + i];
                break;
            }
            case 3: bytes.resize(at); break;
            case 4: bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng())); break;
            default: bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at)); break;
        }
    }
}

void report() {
    if (std::getenv("TARNU_FUZZ_STATS") != nullptr)
        std::fprintf(stderr, "fuzz_from_bytes: %llu of %llu decodes accepted\n", static_cast<unsigned long long>(accepted),
                     static_cast<unsigned long long>(inputs_run));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ++inputs_run;
    check(data, size);

    tarnu::testing::InputBytes in(data, size);
    tarnu::testing::ModelHarness harness(2 + in.next() % 40);
    while (!in.exhausted() && harness.operations() < 64) {
        if (const std::string failure = harness.step(in, 0); !failure.empty()) fail(failure);
    }
    std::vector<std::uint8_t> bytes = encode(harness.diff());
    ++inputs_run;
    check(bytes.data(), bytes.size());  // unchanged, it must come back
    std::uint64_t seed = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 1099511628211ull;
    mutate(bytes, seed);
    ++inputs_run;
    check(bytes.data(), bytes.size());
    return 0;
}
