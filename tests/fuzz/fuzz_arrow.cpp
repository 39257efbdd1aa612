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
//
// Then, as the input asks, a stream: many chunks whose lengths lie (a total
// past 2^56, or one that wraps 64 bits, is refused, never sized from), or
// honest chunks taken as an argument takes them, spoiled as Python code run
// meanwhile could spoil the producer's memory, and only then checked and
// read.

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

const char* const kFormats[] = {"b", "c", "C", "s", "S", "i", "I", "l", "L", "e", "f", "g", "z", "Z",
                                "vz", "u", "U", "vu", "w:16", "w:3", "+s", "n", "tsu:UTC", "d:9,2,32",
                                "d:18,-3,64", "d:38,10", "d:76,40,256", "d:2,1,128"};
static_assert(std::size(kFormats) <= 32);

// A decimal format's bytes per value, or 0.
std::size_t decimal_width(std::string_view f) {
    if (f.substr(0, 2) != "d:") return 0;
    // The width is the third field; "d:9,32" is 128 bits at a scale of 32.
    const std::size_t first = f.find(',');
    const std::size_t second = first == std::string_view::npos ? first : f.find(',', first + 1);
    if (second == std::string_view::npos) return 16;
    const std::string_view bits = f.substr(second + 1);
    if (bits == "32") return 4;
    if (bits == "64") return 8;
    if (bits == "256") return 32;
    return 16;
}

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
    // Each reader runs; one that reads the column must be one its type's
    // row names, and one that refuses the type must not be (but for ids of
    // a fixed_size_binary other than 16 bytes).
    const std::uint8_t readers = column.format.facts().readers;
    const bool odd_width = column.format.type == ArrowType::fixed_size_binary && column.format.byte_width != 16;
    const auto reading = [&](std::uint8_t reader, auto&& read) {
        try {
            read();
            if ((readers & reader) == 0) fail("a reader took a type its row does not give it");
        } catch (const ArrowInputError& e) {
            // The type refusal's own text: an item's refusal may quote data
            // that holds the same words.
            const bool wrong_type = e.message.starts_with("an array of type ") &&
                                    e.message.find(" is not accepted; it takes ") != std::string::npos;
            if (wrong_type && (readers & reader) != 0 && !(reader == arrow_reader::ids && odd_width)) {
                fail("a reader refused a type its row gives it");
            }
        }
    };
    std::vector<NodeId> ids(column.length);
    reading(arrow_reader::ids, [&] {
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
    });
    std::vector<float> weights(column.length);
    reading(arrow_reader::numbers, [&] { read_arrow_weights(column, 0, weights.data()); });
    const auto check_valid = [&](std::size_t i) {
        if (i >= column.length || !column.valid(i)) fail("a reader gave a null or out-of-range item");
    };
    reading(arrow_reader::texts, [&] { read_arrow_texts(column, 0, [&](std::size_t i, std::string_view) { check_valid(i); }); });
    reading(arrow_reader::numbers, [&] { read_arrow_floats(column, 0, [&](std::size_t i, float) { check_valid(i); }); });
    reading(arrow_reader::colours,
            [&] { read_arrow_colours(column, 0, [&](std::size_t i, std::uint8_t) { check_valid(i); }); });
    reading(arrow_reader::flags, [&] { read_arrow_flags(column, 0, [&](std::size_t i, bool) { check_valid(i); }); });
}


// An array as a producer makes it: buffers as large as an honest
// producer's for its format, length and offset, their contents from the
// input. `pointers` is the producer's memory the struct points to.
struct Built {
    std::string format;
    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<const void*> pointers;
    ArrowArray array{};
    std::uint8_t shape = 0;
};

bool is_offsets32(std::string_view f) { return f == "z" || f == "u"; }
bool is_offsets64(std::string_view f) { return f == "Z" || f == "U"; }
bool is_views(std::string_view f) { return f == "vz" || f == "vu"; }

// What keeps an honest producer's buffers honest, whatever bytes they hold:
// offsets land anywhere in [-512, 512], so that an accepted run stays inside
// a data buffer of 512; a view buffer's stated size is never beyond its real
// 64 bytes (negative ones too).
void keep_in_bounds(Built& b, std::int64_t items) {
    const std::string_view f = b.format;
    if (is_offsets32(f)) {
        for (std::int64_t i = 0; i <= items; ++i) {
            std::int32_t v;
            std::memcpy(&v, b.buffers[1].data() + 4 * i, 4);
            v %= 513;
            std::memcpy(b.buffers[1].data() + 4 * i, &v, 4);
        }
    } else if (is_offsets64(f)) {
        for (std::int64_t i = 0; i <= items; ++i) {
            std::int64_t v;
            std::memcpy(&v, b.buffers[1].data() + 8 * i, 8);
            v %= 513;
            std::memcpy(b.buffers[1].data() + 8 * i, &v, 8);
        }
    } else if (is_views(f)) {
        auto& sizes = b.buffers[4];
        for (int k = 0; k < 2; ++k) {
            std::int64_t v;
            std::memcpy(&v, sizes.data() + 8 * k, 8);
            v = static_cast<std::int8_t>(v) % 65;
            std::memcpy(sizes.data() + 8 * k, &v, 8);
        }
    }
}

void build(Input& in, Built& b, Releases& releases) {
    const std::int64_t length = in.byte() % 64;
    const std::int64_t offset = in.byte() % 16;
    const std::uint8_t shape = b.shape = in.byte();
    const std::int64_t items = length + offset;

    const std::string_view f = b.format;
    if (f != "n") b.buffers.emplace_back((items + 7) / 8);  // validity; a null array has no buffer
    std::size_t width = decimal_width(f);
    if (f == "b") width = 0;
    else if (f == "c" || f == "C") width = 1;
    else if (f == "s" || f == "S" || f == "e") width = 2;
    else if (f == "i" || f == "I" || f == "f") width = 4;
    else if (f == "l" || f == "L" || f == "g") width = 8;
    else if (f == "w:16" || is_views(f)) width = 16;
    else if (f == "w:3") width = 3;
    if (f == "b") b.buffers.emplace_back((items + 7) / 8);
    else if (is_offsets32(f)) b.buffers.emplace_back(4 * (items + 1));
    else if (is_offsets64(f)) b.buffers.emplace_back(8 * (items + 1));
    else if (f != "n") b.buffers.emplace_back(width * static_cast<std::size_t>(items));
    for (auto& buffer : b.buffers) in.fill(buffer);
    if (is_offsets32(f) || is_offsets64(f)) {
        b.buffers.emplace_back(512);
        in.fill(b.buffers.back());
    }
    if (is_views(f)) {
        std::int64_t sizes[2];
        for (auto& size : sizes) {
            b.buffers.emplace_back(64);
            in.fill(b.buffers.back());
            size = in.byte();
        }
        b.buffers.emplace_back(16);
        std::memcpy(b.buffers.back().data(), sizes, 16);
    }
    keep_in_bounds(b, items);
    for (auto& buffer : b.buffers) b.pointers.push_back(buffer.empty() ? nullptr : buffer.data());
    if ((shape & 0x01) && !b.pointers.empty()) b.pointers[0] = nullptr;  // no validity bitmap
    std::int64_t n_buffers = static_cast<std::int64_t>(b.pointers.size());
    // A buffer count one too small makes a view array's last data buffer
    // read as its sizes, which no reader can tell from honest sizes: view
    // arrays only get a count one too large (their sizes then missing).
    if (shape & 0x02) n_buffers += (shape & 0x04) || is_views(f) ? 1 : -1;
    if (n_buffers > static_cast<std::int64_t>(b.pointers.size())) b.pointers.push_back(nullptr);
    std::int64_t null_count = 0;
    switch ((shape >> 3) & 3) {
        case 0: null_count = 0; break;
        case 1: null_count = -1; break;
        case 2: null_count = length / 2; break;
        case 3: null_count = static_cast<std::int8_t>(in.byte()); break;
    }
    b.array = ArrowArray{length, null_count, offset, n_buffers, (shape & 0x20) ? 1 : 0, b.pointers.data(), nullptr, nullptr,
                         [](ArrowArray* a) { ++static_cast<Releases*>(a->private_data)->array; a->release = nullptr; },
                         &releases};
}

ArrowSchema schema_of(const std::string& format, Releases& releases) {
    return ArrowSchema{format.c_str(), "", nullptr, 0, 0, nullptr, nullptr,
                       [](ArrowSchema* s) { ++static_cast<Releases*>(s->private_data)->schema; s->release = nullptr; },
                       &releases};
}

// The lengths a lying producer gives its chunks.
constexpr std::int64_t kLengths[] = {0, 1, 16, std::int64_t{1} << 55, std::int64_t{1} << 56, (std::int64_t{1} << 56) + 1,
                                     std::int64_t{1} << 62, INT64_MAX, -1, INT64_MIN};

// A stream of many chunks whose lengths lie: nothing may be sized from a
// total that wrapped. Only the total is taken; nothing is read.
void lying_lengths(Input& in) {
    const std::size_t count = 1 + in.byte() + (in.byte() & 1 ? 256 : 0);
    std::vector<OwnedArrowArray> arrays(count);
    unsigned __int128 sum = 0;
    bool valid = true;
    for (auto& owned : arrays) {
        const std::uint8_t pick = in.byte();
        const std::int64_t length = kLengths[pick % std::size(kLengths)];
        const std::int64_t offset = pick & 0x80 ? kLengths[(pick >> 4) % std::size(kLengths)] : 0;
        ArrowArray a{length, 0, offset, 0, 0, nullptr, nullptr, nullptr, [](ArrowArray* x) { x->release = nullptr; }, nullptr};
        owned.take(&a);
        const std::int64_t limit = std::int64_t{1} << 56;
        valid = valid && length >= 0 && offset >= 0 && length <= limit && offset <= limit;
        if (length > 0) sum += static_cast<std::uint64_t>(length);
    }
    valid = valid && sum <= (std::uint64_t{1} << 56);
    try {
        if (arrow_chunks_length(arrays) != static_cast<std::size_t>(sum) || !valid) fail("a wrong total of chunk lengths");
    } catch (const ArrowInputError&) {
        if (valid) fail("an honest total of chunk lengths was refused");
    }
}

// Honest chunks taken as an argument takes them (their total, the schema,
// each chunk's layout), then spoiled as Python code run by another argument
// could spoil them, then checked and read: whatever the spoiling, nothing is
// read that the checks at the read did not pass, and the total sized at the
// take is the total read.
void spoiled_stream(Input& in, const std::string& format) {
    Releases releases;
    std::vector<Built> built(1 + in.byte() % 4);
    std::string shared_format = format;
    for (Built& b : built) {
        b.format = format;
        build(in, b, releases);
    }
    {
        ArrowSchema schema = schema_of(shared_format, releases);
        OwnedArrowSchema owned_schema;
        owned_schema.take(&schema);
        std::vector<OwnedArrowArray> arrays(built.size());
        for (std::size_t i = 0; i < built.size(); ++i) arrays[i].take(&built[i].array);
        std::size_t total = 0;
        bool taken = true;
        std::string formats;
        try {
            total = arrow_chunks_length(arrays);
            check_arrow_schema(*owned_schema, ArrowShape::column);
            formats = arrow_schema_formats(*owned_schema);
            for (const auto& array : arrays) check_arrow_column_layout(*owned_schema, *array);
        } catch (const ArrowInputError&) {
            taken = false;
        }
        if (taken) {
            Built& victim = built[in.byte() % built.size()];
            switch (in.byte() % 5) {
                case 0: break;
                case 1:  // new bytes in every buffer, still within what an honest producer's sizes allow
                    for (auto& buffer : victim.buffers) in.fill(buffer);
                    keep_in_bounds(victim, victim.array.length + victim.array.offset);
                    break;
                case 2:  // a null array has no buffer to lose
                    if (!victim.pointers.empty()) victim.pointers[in.byte() % victim.pointers.size()] = nullptr;
                    break;
                case 3: victim.array.length = INT64_MAX; break;  // the producer's struct, not the one taken
                case 4: shared_format[0] = static_cast<char>(in.byte()); break;
            }
            try {
                // As an argument pins its input: the schema checked again,
                // its types the ones taken (the buffers are sized for those).
                check_arrow_schema(*owned_schema, ArrowShape::column);
                if (arrow_schema_formats(*owned_schema) != formats) throw ArrowInputError{};
                std::vector<ArrowColumn> columns;
                std::size_t read = 0;
                for (const auto& array : arrays) {
                    columns.push_back(check_arrow_column(*owned_schema, *array));
                    read += columns.back().length;
                }
                if (read != total) fail("the items read are not the items sized at the take");
                for (const ArrowColumn& column : columns) read_everything(column);
            } catch (const ArrowInputError&) {
            }
        }
    }
    if (releases.schema != 1 || releases.array != static_cast<int>(built.size())) {
        fail("a chunk of a stream was not released exactly once");
    }
}

// A schema's metadata whose lengths are honest (the interface gives no
// size to check them by) and whose pandas JSON is anything: index columns
// come only from an "index_columns" that is there, none for a text that
// ends, nests or escapes wrongly.
void pandas_metadata(Input& in) {
    std::string blob;
    const auto put = [&](std::int32_t n) { blob.append(reinterpret_cast<const char*>(&n), 4); };
    const std::uint8_t pairs = in.byte() % 4;
    put(pairs);
    std::string json;
    for (std::uint8_t p = 0; p < pairs; ++p) {
        const std::string key = in.byte() & 1 ? "pandas" : std::string(in.byte() % 8, 'k');
        std::string value;
        // JSON-ish bytes: mostly the characters that steer the scanner.
        for (std::size_t n = in.byte() * 2u; n > 0 && in.at < in.size; --n) {
            const std::uint8_t b = in.byte();
            value += b < 128 ? "{}[]\",:\\u0aDd \n"[b % 16] : static_cast<char>(b);
            if (b % 7 == 0) value += "\"index_columns\"";
        }
        put(static_cast<std::int32_t>(key.size()));
        blob += key;
        put(static_cast<std::int32_t>(value.size()));
        blob += value;
        if (key == "pandas" && json.empty()) json = value;
    }
    const std::vector<std::string> names = pandas_index_columns(blob.c_str());
    if (!names.empty() && json.find("\"index_columns\"") == std::string::npos) {
        fail("index columns from metadata that names none");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    const std::uint8_t choice = in.byte();
    std::string format;
    if (choice % 32 < std::size(kFormats)) {
        format = kFormats[choice % 32];
    } else if (choice & 0x20) {
        // A decimal's numbers, malformed more often than not: signs,
        // commas, digits past what any field may hold.
        format = "d:";
        for (std::uint8_t n = in.byte() % 16; n > 0; --n) format += "0123456789,-+x"[in.byte() % 14];
    } else {
        for (std::uint8_t n = in.byte() % 6; n > 0; --n) format += static_cast<char>(in.byte());
    }
    Releases releases;
    Built one;
    one.format = format;
    build(in, one, releases);
    ArrowSchema schema = schema_of(format, releases);
    {
        OwnedArrowSchema owned_schema;
        OwnedArrowArray owned_array;
        owned_schema.take(&schema);
        owned_array.take(&one.array);
        try {
            read_everything(check_arrow_column(*owned_schema, *owned_array));
        } catch (const ArrowInputError&) {
        }
        // The same array as the one child of a struct, sliced by the struct.
        if (one.shape & 0x40) {
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
            // And as a column given as a one-column table.
            try {
                read_everything(check_arrow_column(parent_schema, parent));
            } catch (const ArrowInputError&) {
            }
        }
    }
    if (releases.schema != 1 || releases.array != 1) fail("a struct was not released exactly once");
    // Then, as the input asks, a stream of many chunks: lengths that lie,
    // or honest chunks of the same format spoiled between take and read.
    const std::uint8_t stream = in.byte();
    if (stream & 0x01) lying_lengths(in);
    else if (stream & 0x02) spoiled_stream(in, format);
    else if (stream & 0x04) pandas_metadata(in);
    return 0;
}
