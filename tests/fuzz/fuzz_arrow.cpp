// libFuzzer target over the Arrow reader (src/arrow/arrow_import.*).
//
// The input builds an ArrowSchema and ArrowArray: a format (one of the
// interface's, or raw bytes), a length, an offset, a null count, buffer and
// child counts that may be wrong, and buffers whose contents (validity bits,
// offsets, views, values, texts) come from the input. Each buffer is as
// large as the interface says an honest producer's is for that length and
// offset (the interface carries no sizes, so a reader must trust them), but
// nothing in it is honest. Whatever the reader accepts, every reader then
// reads without touching memory outside the buffers (the sanitizers watch),
// the ids it takes from UUID text agree with a plain reference parser, and
// the holders release each struct exactly once.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_import.hpp"

namespace {

using namespace tarnu;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_arrow: %s\n", what);
    std::abort();
}

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    void fill(std::vector<std::uint8_t>& out) {
        for (auto& b : out) b = byte();
    }
};

const char* const kFormats[] = {"b", "c", "C", "s", "S", "i", "I", "l", "L", "e", "f", "g", "z",
                                "Z", "vz", "u", "U", "vu", "w:16", "w:3", "+s", "n", "tsu:UTC"};

// A reference UUID text parser that shares nothing with the real one.
bool reference_uuid(std::string_view text, std::uint8_t* out) {
    std::string digits;
    if (text.size() == 36) {
        for (std::size_t i = 0; i < 36; ++i) {
            const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
            if (hyphen_place != (text[i] == '-')) return false;
            if (!hyphen_place) digits += text[i];
        }
    } else if (text.size() == 32) {
        digits = text;
    } else {
        return false;
    }
    for (int k = 0; k < 16; ++k) {
        char pair[3] = {digits[2 * k], digits[2 * k + 1], 0};
        for (int j = 0; j < 2; ++j) {
            if (std::strchr("0123456789abcdefABCDEF", pair[j]) == nullptr || pair[j] == 0) return false;
        }
        out[k] = static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16));
    }
    return true;
}

struct Releases {
    int schema = 0;
    int array = 0;
};

void read_everything(const ArrowColumn& column) {
    std::vector<NodeId> ids(column.length);
    try {
        read_arrow_ids(column, 0, ids.data());
        const ArrowType t = column.format.type;
        if (t == ArrowType::utf8 || t == ArrowType::large_utf8 || t == ArrowType::utf8_view) {
            for (std::size_t i = 0; i < column.length; ++i) {
                std::uint8_t expected[16];
                const std::string_view text = column.bytes_of(i);
                if (!reference_uuid(text, expected) || std::memcmp(expected, ids[i].bytes.data(), 16) != 0) {
                    fail("an id from UUID text disagrees with the reference parser");
                }
            }
        }
    } catch (const ArrowInputError&) {
    }
    std::vector<float> weights(column.length);
    try {
        read_arrow_weights(column, 0, weights.data());
    } catch (const ArrowInputError&) {
    }
    const auto check_valid = [&](std::size_t i) {
        if (i >= column.length || !column.valid(i)) fail("a reader gave a null or out-of-range item");
    };
    try {
        read_arrow_texts(column, 0, [&](std::size_t i, std::string_view) { check_valid(i); });
    } catch (const ArrowInputError&) {
    }
    try {
        read_arrow_floats(column, 0, [&](std::size_t i, float) { check_valid(i); });
    } catch (const ArrowInputError&) {
    }
    try {
        read_arrow_colours(column, 0, [&](std::size_t i, std::uint8_t) { check_valid(i); });
    } catch (const ArrowInputError&) {
    }
    try {
        read_arrow_flags(column, 0, [&](std::size_t i, bool) { check_valid(i); });
    } catch (const ArrowInputError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    const std::uint8_t choice = in.byte();
    std::string format;
    if (choice % 32 < std::size(kFormats)) {
        format = kFormats[choice % 32];
    } else {
        for (std::uint8_t n = in.byte() % 6; n > 0; --n) format += static_cast<char>(in.byte());
    }
    const std::int64_t length = in.byte() % 64;
    const std::int64_t offset = in.byte() % 16;
    const std::uint8_t shape = in.byte();
    const std::int64_t items = length + offset;

    // Buffers as large as an honest producer's for this format.
    std::vector<std::vector<std::uint8_t>> buffers;
    buffers.emplace_back((items + 7) / 8);  // validity
    std::size_t width = 0;
    std::string_view f = format;
    if (f == "b") width = 0;
    else if (f == "c" || f == "C") width = 1;
    else if (f == "s" || f == "S" || f == "e") width = 2;
    else if (f == "i" || f == "I" || f == "f") width = 4;
    else if (f == "l" || f == "L" || f == "g") width = 8;
    else if (f == "w:16" || f == "vz" || f == "vu") width = 16;
    else if (f == "w:3") width = 3;
    if (f == "b") buffers.emplace_back((items + 7) / 8);
    else if (f == "z" || f == "u") buffers.emplace_back(4 * (items + 1));
    else if (f == "Z" || f == "U") buffers.emplace_back(8 * (items + 1));
    else buffers.emplace_back(width * static_cast<std::size_t>(items));
    for (auto& b : buffers) in.fill(b);
    // Offsets land anywhere in [-512, 512], so that an accepted run stays
    // inside a data buffer of 512.
    if (f == "z" || f == "u") {
        for (std::int64_t i = 0; i <= items; ++i) {
            std::int32_t v;
            std::memcpy(&v, buffers[1].data() + 4 * i, 4);
            v %= 513;
            std::memcpy(buffers[1].data() + 4 * i, &v, 4);
        }
    } else if (f == "Z" || f == "U") {
        for (std::int64_t i = 0; i <= items; ++i) {
            std::int64_t v;
            std::memcpy(&v, buffers[1].data() + 8 * i, 8);
            v %= 513;
            std::memcpy(buffers[1].data() + 8 * i, &v, 8);
        }
    }
    if (f == "z" || f == "u" || f == "Z" || f == "U") {
        buffers.emplace_back(512);
        in.fill(buffers.back());
    }
    std::vector<std::int64_t> variadic_sizes;
    if (f == "vz" || f == "vu") {
        for (int b = 0; b < 2; ++b) {
            buffers.emplace_back(64);
            in.fill(buffers.back());
            // A stated size never beyond the real one; negative ones too.
            variadic_sizes.push_back(static_cast<std::int8_t>(in.byte()) % 65);
        }
        buffers.emplace_back(16);
        std::memcpy(buffers.back().data(), variadic_sizes.data(), 16);
    }
    std::vector<const void*> pointers;
    for (auto& b : buffers) pointers.push_back(b.empty() ? nullptr : b.data());
    if (shape & 0x01) pointers[0] = nullptr;  // no validity bitmap
    std::int64_t n_buffers = static_cast<std::int64_t>(pointers.size());
    // A buffer count one too small makes a view array's last data buffer
    // read as its sizes, which no reader can tell from honest sizes: view
    // arrays only get a count one too large (their sizes then missing).
    const bool views = f == "vz" || f == "vu";
    if (shape & 0x02) n_buffers += (shape & 0x04) || views ? 1 : -1;
    if (n_buffers > static_cast<std::int64_t>(pointers.size())) pointers.push_back(nullptr);
    std::int64_t null_count = 0;
    switch ((shape >> 3) & 3) {
        case 0: null_count = 0; break;
        case 1: null_count = -1; break;
        case 2: null_count = length / 2; break;
        case 3: null_count = static_cast<std::int8_t>(in.byte()); break;
    }

    Releases releases;
    ArrowSchema schema{format.c_str(), "", nullptr, 0, 0, nullptr, nullptr,
                       [](ArrowSchema* s) { ++static_cast<Releases*>(s->private_data)->schema; s->release = nullptr; },
                       &releases};
    ArrowArray array{length, null_count, offset, n_buffers, (shape & 0x20) ? 1 : 0, pointers.data(), nullptr, nullptr,
                     [](ArrowArray* a) { ++static_cast<Releases*>(a->private_data)->array; a->release = nullptr; },
                     &releases};
    {
        OwnedArrowSchema owned_schema;
        OwnedArrowArray owned_array;
        owned_schema.take(&schema);
        owned_array.take(&array);
        try {
            read_everything(check_arrow_column(*owned_schema, *owned_array));
        } catch (const ArrowInputError&) {
        }
        // The same array as the one child of a struct, sliced by the struct.
        if (shape & 0x40) {
            ArrowSchema* child_schema = owned_schema.get();
            ArrowArray* child_array = owned_array.get();
            const std::vector<const void*> struct_buffers{nullptr};
            ArrowSchema parent_schema{"+s", "", nullptr, 0, 1, &child_schema, nullptr, nullptr, nullptr};
            ArrowArray parent{in.byte() % 64, 0, in.byte() % 16, 1, 1, const_cast<const void**>(struct_buffers.data()),
                              &child_array, nullptr, nullptr, nullptr};
            try {
                const ArrowBatch batch = check_arrow_batch(parent_schema, parent);
                read_everything(check_arrow_batch_child(batch, 0));
            } catch (const ArrowInputError&) {
            }
        }
    }
    if (releases.schema != 1 || releases.array != 1) fail("a struct was not released exactly once");
    return 0;
}
