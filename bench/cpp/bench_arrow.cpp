// UUID text parsing per id, as read_arrow_ids runs it over a utf8 column of
// 1,000,000 ids (half canonical, half bare hex, mixed case), against a copy
// of the same number of 16-byte ids from a fixed_size_binary(16) column.
// Best of several runs, in processor time; under callgrind (one run: pass
// "1") the instruction count per id is the figure that does not move with
// the machine's load.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "arrow/arrow_import.hpp"

namespace {

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

struct Column {
    std::vector<std::int32_t> offsets{0};
    std::string data;
    std::vector<const void*> buffers;
    ArrowSchema schema{};
    ArrowArray array{};
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    constexpr std::size_t kIds = 1'000'000;
    std::mt19937_64 rng(25);
    Column text;
    std::vector<std::uint8_t> fixed(16 * kIds);
    for (std::size_t i = 0; i < kIds; ++i) {
        std::uint8_t b[16];
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        std::memcpy(fixed.data() + 16 * i, b, 16);
        const char* digits = i % 3 == 0 ? "0123456789ABCDEF" : "0123456789abcdef";
        for (int k = 0; k < 16; ++k) {
            if (i % 2 == 0 && (k == 4 || k == 6 || k == 8 || k == 10)) text.data += '-';
            text.data += digits[b[k] >> 4];
            text.data += digits[b[k] & 15];
        }
        text.offsets.push_back(static_cast<std::int32_t>(text.data.size()));
    }
    text.buffers = {nullptr, text.offsets.data(), text.data.data()};
    text.schema.format = "u";
    text.array = ArrowArray{kIds, 0, 0, 3, 0, text.buffers.data(), nullptr, nullptr, nullptr, nullptr};
    const void* fixed_buffers[2] = {nullptr, fixed.data()};
    ArrowSchema fixed_schema{};
    fixed_schema.format = "w:16";
    const ArrowArray fixed_array{kIds, 0, 0, 2, 0, fixed_buffers, nullptr, nullptr, nullptr, nullptr};

    std::vector<tarnu::NodeId> out(kIds);
    const tarnu::ArrowColumn text_column = tarnu::check_arrow_column(text.schema, text.array);
    const tarnu::ArrowColumn fixed_column = tarnu::check_arrow_column(fixed_schema, fixed_array);
    const double parse = best_seconds(runs, [&] { tarnu::read_arrow_ids(text_column, 0, out.data()); });
    if (std::memcmp(out.data(), fixed.data(), fixed.size()) != 0) {
        std::fprintf(stderr, "bench_arrow: parsed ids differ\n");
        return 1;
    }
    const double copy = best_seconds(runs, [&] { tarnu::read_arrow_ids(fixed_column, 0, out.data()); });
    const double check = best_seconds(runs, [&] { (void)tarnu::check_arrow_column(text.schema, text.array); });
    std::printf("uuid text to ids (utf8, 1M)      %6.2f ns per id\n", parse / kIds * 1e9);
    std::printf("utf8 column checks (1M offsets)  %6.2f ns per id\n", check / kIds * 1e9);
    std::printf("fixed_size_binary(16) ids (1M)   %6.2f ns per id\n", copy / kIds * 1e9);
    return 0;
}
