// libFuzzer target over the record and its encoding together: the input is
// decoded into operations by the model harness (as in fuzz_diff.cpp, checked
// against the reference diff after every step), then the record is encoded
// and the bytes are read back and compared with what the record holds, so
// the size pass and the write pass meet every shape the record can take.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bytes/graph_diff_to_bytes.hpp"
#include "diff_model.hpp"
#include "node_update/node_update_json.hpp"
#include "node_update_text.hpp"

namespace {

using tarnu::GraphDiff;
using tarnu::NodeId;
using tarnu::testing::Snapshot;

constexpr std::size_t kMaxOperations = 4096;

std::uint64_t operations_run = 0;
std::uint64_t inputs_run = 0;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "fuzz_encoding: %s\n", why.c_str());
    std::abort();
}

// Reads an encoded diff, refusing anything that runs past the end.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : pos_(data), end_(data + size) {}

    std::uint64_t u64() {
        need(8);
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | pos_[i];
        pos_ += 8;
        return v;
    }
    std::uint32_t u32() {
        need(4);
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | pos_[i];
        pos_ += 4;
        return v;
    }
    NodeId id() {
        if (u64() != 16) fail("an id without its length 16");
        need(16);
        NodeId id = NodeId::from_bytes(pos_);
        pos_ += 16;
        return id;
    }
    std::string text() {
        const std::uint64_t n = u64();
        need(n);
        std::string s(reinterpret_cast<const char*>(pos_), n);
        pos_ += n;
        return s;
    }
    bool at_end() const { return pos_ == end_; }

private:
    void need(std::uint64_t n) {
        if (static_cast<std::uint64_t>(end_ - pos_) < n) fail("the encoding is truncated");
    }
    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

void check_encoding(const GraphDiff& diff) {
    std::string problems;
    const Snapshot held = tarnu::testing::snapshot_of(diff, problems);
    if (!problems.empty()) fail(problems);

    const tarnu::DiffEncoding encoding(diff);
    std::vector<std::uint8_t> bytes(encoding.size());
    if (encoding.write_to(bytes.data())) fail("encoding refused a diff");
    Reader in(bytes.data(), bytes.size());

    std::uint64_t n = in.u64();
    if (n != held.nodes.size()) fail("node count");
    for (; n > 0; --n) {
        const auto it = held.nodes.find(in.id());
        if (it == held.nodes.end()) fail("an encoded node the record does not hold");
        const std::string expected = tarnu::testing::node_update_json_text(it->second);
        if (in.text() != expected) fail("a node text differs from its rendering");
    }
    n = in.u64();
    if (n != held.deleted_nodes.size()) fail("deleted node count");
    for (; n > 0; --n)
        if (held.deleted_nodes.count(in.id()) == 0) fail("an encoded deleted node the record does not hold");
    n = in.u64();
    if (n != held.new_or_updated.size()) fail("edge source count");
    for (; n > 0; --n) {
        const auto it = held.new_or_updated.find(in.id());
        if (it == held.new_or_updated.end()) fail("an encoded source the record does not hold");
        std::uint64_t m = in.u64();
        if (m != it->second.size()) fail("target count");
        for (; m > 0; --m) {
            const auto target = it->second.find(in.id());
            if (target == it->second.end() || target->second != in.u32()) fail("an encoded edge differs");
        }
    }
    n = in.u64();
    if (n != held.deleted.size()) fail("deleted-edge source count");
    for (; n > 0; --n) {
        const auto it = held.deleted.find(in.id());
        if (it == held.deleted.end()) fail("an encoded deleted-edge source the record does not hold");
        std::uint64_t m = in.u64();
        if (m == 0 || m != it->second.size()) fail("deleted target count");
        for (; m > 0; --m)
            if (it->second.count(in.id()) == 0) fail("an encoded deleted edge differs");
    }
    if (!in.at_end()) fail("bytes left after the fourth section");
}

void report() {
    if (std::getenv("TARNU_FUZZ_STATS") != nullptr)
        std::fprintf(stderr, "fuzz_encoding: %llu operations over %llu inputs\n",
                     static_cast<unsigned long long>(operations_run), static_cast<unsigned long long>(inputs_run));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnu::testing::InputBytes in(data, size);
    tarnu::testing::ModelHarness harness(2 + in.next() % 40);
    while (!in.exhausted() && harness.operations() < kMaxOperations) {
        if (std::string failure = harness.step(in); !failure.empty()) fail(failure);
    }
    if (std::string failure = harness.check(); !failure.empty()) fail(failure);
    check_encoding(harness.diff());
    operations_run += harness.operations();
    ++inputs_run;
    return 0;
}
