// The Arrow C data interface: UUID text, the strict reader, the release
// discipline of imports and exports, and a diff's batches read back through
// the reader.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "arrow/arrow_export.hpp"
#include "arrow/arrow_import.hpp"
#include "arrow/uuid_text.hpp"

namespace tarnu {
namespace {

std::string hex_text(const std::uint8_t* bytes, bool hyphens, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    for (int k = 0; k < 16; ++k) {
        if (hyphens && (k == 4 || k == 6 || k == 8 || k == 10)) text += '-';
        text += digits[bytes[k] >> 4];
        text += digits[bytes[k] & 15];
    }
    return text;
}

bool parses(const std::string& text, std::uint8_t* out) { return parse_uuid_text(text.data(), text.size(), out); }

TEST(UuidText, EveryFormAndCaseGivesTheBytesAndEveryBadCharacterIsRefused) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::uint8_t bytes[16], out[16];
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        for (const bool hyphens : {true, false}) {
            for (const bool upper : {true, false}) {
                std::string text = hex_text(bytes, hyphens, upper);
                ASSERT_TRUE(parses(text, out)) << text;
                ASSERT_EQ(std::memcmp(out, bytes, 16), 0) << text;
                // One bad character anywhere; a hyphen where a digit goes.
                const std::size_t at = rng() % text.size();
                const bool hyphen_place = hyphens && (at == 8 || at == 13 || at == 18 || at == 23);
                for (const char bad : {'g', 'G', ' ', '\0', '/', ':', '@', '`', '{', '\xff', '-'}) {
                    if (hyphen_place && bad == '-') continue;
                    std::string broken = text;
                    broken[at] = bad;
                    EXPECT_FALSE(parses(broken, out)) << broken;
                }
            }
        }
    }
    // Every byte value in every place of both forms, against the digits'
    // own definition: the vector ranges have edges at '/', ':', '@', 'G',
    // '`', 'g' and at 0x80, where signed compares turn over.
    const std::uint8_t ones[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                   0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    for (const bool hyphens : {true, false}) {
        const std::string text = hex_text(ones, hyphens, false);
        for (std::size_t at = 0; at < text.size(); ++at) {
            for (int c = 0; c < 256; ++c) {
                std::string changed = text;
                changed[at] = static_cast<char>(c);
                const bool hyphen_place = hyphens && (at == 8 || at == 13 || at == 18 || at == 23);
                const int digit = uuid_text_detail::hex_digit(c);
                std::uint8_t got[16];
                ASSERT_EQ(parses(changed, got), hyphen_place ? c == '-' : digit >= 0) << at << " " << c;
                if (hyphen_place || digit < 0) continue;
                const std::size_t nth = at - (hyphens ? (at > 8) + (at > 13) + (at > 18) + (at > 23) : 0);
                std::uint8_t want[16];
                std::memcpy(want, ones, 16);
                want[nth / 2] = static_cast<std::uint8_t>(nth % 2 == 0 ? (digit << 4) | (want[nth / 2] & 15)
                                                                       : (want[nth / 2] & 0xF0) | digit);
                ASSERT_EQ(std::memcmp(got, want, 16), 0) << at << " " << c;
            }
        }
    }
    std::uint8_t out[16];
    for (const char* text : {"", "0", "{00000000-0000-0000-0000-000000000000}", "00000000-0000-0000-0000-00000000000",
                             "000000000-000-0000-0000-000000000000", "0000000000000000000000000000000",
                             "00000000-0000-0000-0000-0000000000000", "000000000000000000000000000000000"}) {
        EXPECT_FALSE(parses(text, out)) << text;
    }
}

// --- hand-made arrays -------------------------------------------------------

// An array made by a test, with its buffers, counting its releases. The
// structs point only at heap memory, so a Made can move.
struct Made {
    struct Releases {
        int schema = 0;
        int array = 0;
    };
    const char* format = "u";
    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<const void*> pointers;
    ArrowSchema schema{};
    ArrowArray array{};
    std::shared_ptr<Releases> releases = std::make_shared<Releases>();

    void finish(std::int64_t length, std::int64_t null_count = 0, std::int64_t offset = 0) {
        pointers.clear();
        for (auto& b : buffers) pointers.push_back(b.empty() ? nullptr : b.data());
        schema = ArrowSchema{format, "", nullptr, 0, 0, nullptr, nullptr,
                             [](ArrowSchema* s) { ++static_cast<Releases*>(s->private_data)->schema; s->release = nullptr; },
                             releases.get()};
        array = ArrowArray{length, null_count, offset, static_cast<std::int64_t>(pointers.size()), 0, pointers.data(),
                           nullptr, nullptr,
                           [](ArrowArray* a) { ++static_cast<Releases*>(a->private_data)->array; a->release = nullptr; },
                           releases.get()};
    }
};

template <class T>
std::vector<std::uint8_t> bytes_of(const std::vector<T>& values) {
    std::vector<std::uint8_t> out(values.size() * sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), values.data(), out.size());
    return out;
}

// A utf8 (or binary) array of `texts`; a null is std::nullopt.
Made text_array(const std::vector<std::optional<std::string>>& texts, const char* format = "u") {
    Made m;
    m.format = format;
    std::vector<std::int32_t> offsets{0};
    std::string data;
    std::vector<std::uint8_t> validity((texts.size() + 7) / 8, 0);
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i]) {
            data += *texts[i];
            validity[i / 8] |= static_cast<std::uint8_t>(1 << (i % 8));
        } else {
            ++nulls;
        }
        offsets.push_back(static_cast<std::int32_t>(data.size()));
    }
    m.buffers = {nulls ? validity : std::vector<std::uint8_t>{}, bytes_of(offsets),
                 std::vector<std::uint8_t>(data.begin(), data.end())};
    m.finish(static_cast<std::int64_t>(texts.size()), nulls);
    return m;
}

ArrowInputError refusal(const std::function<void()>& f) {
    try {
        f();
    } catch (const ArrowInputError& e) {
        return e;
    }
    ADD_FAILURE() << "not refused";
    return {};
}

TEST(ArrowFormat, KnownFormatsParseAndOthersAreNamed) {
    EXPECT_EQ(parse_arrow_format("w:16").byte_width, 16);
    EXPECT_EQ(parse_arrow_format("vu").type, ArrowType::utf8_view);
    EXPECT_EQ(parse_arrow_format("L").type, ArrowType::uint64);
    EXPECT_EQ(parse_arrow_format("n").type, ArrowType::null);
    const ArrowFormat decimal = parse_arrow_format("d:76,-3,256");
    EXPECT_EQ(decimal.type, ArrowType::decimal);
    EXPECT_EQ(arrow_type_name(decimal), "decimal256(76, -3)");
    EXPECT_EQ(parse_arrow_format("d:2,1").byte_width, 16);
    EXPECT_EQ(parse_arrow_format("d:9,2,32").byte_width, 4);
    for (const char* unsupported : {"tsu:UTC", "+l", "tdD"}) {
        EXPECT_EQ(refusal([&] { parse_arrow_format(unsupported); }).message.rfind("unsupported Arrow format", 0), 0u)
            << unsupported;
    }
    for (const char* malformed : {"", "w:", "w:0", "w:-1", "w:16x", "ww", "x", "uu", "w:99999999999", "d:", "d:0,1",
                                  "d:10", "d:10,", "d:10,2,48", "d:77,1", "d:10,x", "d:10,2,", "d:10,-", "d:1,99999"}) {
        EXPECT_EQ(refusal([&] { parse_arrow_format(malformed); }).message.rfind("malformed Arrow format", 0), 0u)
            << malformed;
    }
    EXPECT_EQ(refusal([] { parse_arrow_format(nullptr); }).message, "malformed Arrow format ''");
}

// Every row of the type table: its format text parses back to it, an empty
// flat array of its buffer count passes the layout checks and one more
// buffer is refused, and each reader takes it exactly when its row says so.
TEST(ArrowFormat, EveryTypeRowParsesBackAndIsTakenByItsReaders) {
    for (const ArrowTypeFacts& row : kArrowTypes) {
        const std::string name(row.name);
        ArrowFormat format{row.type};
        if (row.type == ArrowType::fixed_size_binary) format = {row.type, 16};
        if (row.type == ArrowType::decimal) format = {row.type, 8, 18, -3};
        const std::string text = arrow_format_text(format);
        const ArrowFormat parsed = parse_arrow_format(text.c_str());
        EXPECT_EQ(parsed.type, row.type) << text;
        EXPECT_EQ(parsed.layout, row.layout) << text;
        EXPECT_EQ(parsed.byte_width, format.byte_width) << text;
        EXPECT_EQ(parsed.precision, format.precision) << text;
        EXPECT_EQ(parsed.scale, format.scale) << text;
        EXPECT_EQ(arrow_type_name(parsed).rfind(name, 0), 0u) << text;
        // A near miss of the text, one character more, is no type at all.
        for (const char extra : {'x', ' ', ':', '\x01'}) {
            const std::string near = text + extra;
            EXPECT_THROW(parse_arrow_format(near.c_str()), ArrowInputError) << near;
        }
        if (row.type == ArrowType::structure) continue;  // a batch, with the batch tests

        Made empty;
        empty.format = text.c_str();
        empty.buffers.resize(row.n_buffers);
        empty.finish(0);
        const ArrowColumn column = check_arrow_column(empty.schema, empty.array);
        std::uint8_t taken = 0;
        const auto takes = [&](std::uint8_t reader, const std::function<void()>& read) {
            try {
                read();
                taken |= reader;
            } catch (const ArrowInputError& e) {
                EXPECT_EQ(e.message.rfind("an array of type " + arrow_type_name(parsed) + " is not accepted; it takes", 0), 0u);
            }
        };
        takes(arrow_reader::ids, [&] { read_arrow_ids(column, 0, nullptr); });
        takes(arrow_reader::numbers, [&] { read_arrow_weights(column, 0, nullptr); });
        takes(arrow_reader::numbers, [&] { read_arrow_floats(column, 0, [](std::size_t, float) {}); });
        takes(arrow_reader::colours, [&] { read_arrow_colours(column, 0, [](std::size_t, std::uint8_t) {}); });
        takes(arrow_reader::texts, [&] { read_arrow_texts(column, 0, [](std::size_t, std::string_view) {}); });
        takes(arrow_reader::flags, [&] { read_arrow_flags(column, 0, [](std::size_t, bool) {}); });
        EXPECT_EQ(taken, row.readers) << text;

        if (row.layout == ArrowLayout::views || row.layout == ArrowLayout::none) continue;  // as the null tests show
        empty.buffers.emplace_back();
        empty.finish(0);
        EXPECT_EQ(refusal([&] { check_arrow_column(empty.schema, empty.array); }).message,
                  "an array of type " + arrow_type_name(parsed) + " with " + std::to_string(row.n_buffers + 1) +
                      " buffers is not valid; it has " + std::to_string(row.n_buffers));
    }
    // fixed_size_binary is taken as ids only at 16 bytes.
    Made eight;
    eight.format = "w:8";
    eight.buffers.resize(2);
    eight.finish(0);
    EXPECT_EQ(refusal([&] { read_arrow_ids(check_arrow_column(eight.schema, eight.array), 0, nullptr); })
                  .message.rfind("an array of type fixed_size_binary(8) is not accepted", 0),
              0u);
}

TEST(ArrowReader, IdsFromTextBinaryAndFixedWidthWithOffsetAndErrorsNamingTheItem) {
    const std::string a = "00112233-4455-6677-8899-AABBCCDDEEFF", b = "ffeeddccbbaa99887766554433221100";
    std::vector<NodeId> ids(2);
    Made texts = text_array({std::string("skipped"), a, b});
    texts.array.offset = 1;
    texts.array.length = 2;
    read_arrow_ids(check_arrow_column(texts.schema, texts.array), 10, ids.data());
    EXPECT_EQ(ids[0].bytes[0], 0x00);
    EXPECT_EQ(ids[0].bytes[15], 0xFF);
    EXPECT_EQ(ids[1].bytes[0], 0xFF);

    Made binary = text_array({std::string(16, 'x'), std::string(15, 'y')}, "z");
    const ArrowInputError wrong = refusal([&] { read_arrow_ids(check_arrow_column(binary.schema, binary.array), 5, ids.data()); });
    EXPECT_EQ(wrong.item, 6u);
    EXPECT_EQ(wrong.message, "a value of 15 bytes is not a 16-byte id");

    Made bad = text_array({a, std::string("0011223344556677-8899AABBCCDDEEFF")});
    EXPECT_EQ(refusal([&] { read_arrow_ids(check_arrow_column(bad.schema, bad.array), 0, ids.data()); }).message,
              "text of 33 bytes is not a UUID (36 characters with hyphens, or 32 hex digits)");
    Made null = text_array({a, std::nullopt});
    const ArrowInputError null_error = refusal([&] { read_arrow_ids(check_arrow_column(null.schema, null.array), 0, ids.data()); });
    EXPECT_EQ(null_error.item, 1u);
    EXPECT_EQ(null_error.message, "the id is null");

    Made fixed;
    fixed.format = "w:16";
    std::vector<std::uint8_t> raw(48);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i);
    fixed.buffers = {{}, raw};
    fixed.finish(2, 0, 1);
    const ArrowColumn column = check_arrow_column(fixed.schema, fixed.array);
    EXPECT_TRUE(arrow_ids_in_place(column));
    read_arrow_ids(column, 0, ids.data());
    EXPECT_EQ(ids[0].bytes[0], 16);
    EXPECT_EQ(ids[1].bytes[15], 47);
}

TEST(ArrowReader, WeightsConvertAsAPythonNumberOfThatValue) {
    Made ints;
    ints.format = "l";
    const std::vector<std::int64_t> values{(std::int64_t{1} << 53) + 1, -3, (std::int64_t{1} << 62) + 12345};
    ints.buffers = {{}, bytes_of(values)};
    ints.finish(3);
    std::vector<float> out(3);
    read_arrow_weights(check_arrow_column(ints.schema, ints.array), 0, out.data());
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(out[i], static_cast<float>(static_cast<double>(values[i])));

    Made halves;
    halves.format = "e";
    halves.buffers = {{}, bytes_of(std::vector<std::uint16_t>{0x3C00, 0x0001, 0x7C00, 0xC000, 0x03FF, 0x7E00})};
    halves.finish(6);
    out.resize(6);
    read_arrow_weights(check_arrow_column(halves.schema, halves.array), 0, out.data());
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], std::ldexp(1.0f, -24));
    EXPECT_EQ(out[2], INFINITY);
    EXPECT_EQ(out[3], -2.0f);
    EXPECT_EQ(out[4], std::ldexp(1023.0f, -24));
    EXPECT_TRUE(std::isnan(out[5]));

    Made colours;
    colours.format = "s";
    colours.buffers = {{0b101}, bytes_of(std::vector<std::int16_t>{7, -1, 256})};
    colours.finish(3, 1);
    const ArrowInputError e = refusal([&] { read_arrow_colours(check_arrow_column(colours.schema, colours.array), 0, [](std::size_t, std::uint8_t) {}); });
    EXPECT_EQ(e.kind, ArrowInputError::Kind::overflow);
    EXPECT_EQ(e.item, 2u);  // item 1 is null, hence absent and unchecked
}

// Decimals: the double nearest the value, as float(Decimal(text)) gives it
// (strtod of the same text is the reference), from every width; the exact
// fast path and the text path agree at their border.
TEST(ArrowReader, DecimalsAreTheDoubleNearestTheirValue) {
    struct Case {
        const char* format;
        std::vector<std::uint8_t> bytes;  // the integer, little-endian
        const char* value;                // the same value as text
    };
    const auto le = [](std::uint64_t low, std::uint64_t high, int width) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(width));
        for (int k = 0; k < width; ++k) {
            out[k] = static_cast<std::uint8_t>(k < 8 ? low >> (8 * k) : k < 16 ? high >> (8 * (k - 8)) : (high >> 63) ? 0xFF : 0);
        }
        return out;
    };
    const std::vector<Case> cases = {
        {"d:2,1", le(1, 0, 16), "0.1"},
        {"d:2,1", le(~0ull, ~0ull, 16), "-0.1"},
        {"d:9,2,32", le(0xFFFFFF85, 0, 4), "-1.23"},
        {"d:18,3,64", le((1ull << 53) + 1, 0, 8), "9007199254740.993"},
        {"d:18,-3,64", le(7, 0, 8), "7000"},
        {"d:38,5", le(0x42B64E76714244CBull, 0x29Dull, 16), "12345678901234567890123e-5"},
        {"d:38,30", le(1, 0, 16), "1e-30"},
        {"d:38,0", le(0, 1ull << 63, 16), "-170141183460469231731687303715884105728"},
        {"d:5,400", le(1, 0, 16), "1e-400"},
        {"d:5,-400", le(1, 0, 16), "1e400"},
        {"d:5,22", le(1ull << 53, 0, 16), "9007199254740992e-22"},
        {"d:5,23", le(1ull << 53, 0, 16), "9007199254740992e-23"},
    };
    for (const Case& c : cases) {
        const ArrowFormat f = parse_arrow_format(c.format);
        EXPECT_EQ(arrow_detail::decimal_to_double(c.bytes.data(), f.byte_width, f.scale), std::strtod(c.value, nullptr))
            << c.format << " " << c.value;
    }
    // 256 bits: -2^255, and 2^200 + 1 scaled by 10^-2.
    std::vector<std::uint8_t> low(32, 0);
    low[31] = 0x80;
    EXPECT_EQ(arrow_detail::decimal_to_double(low.data(), 32, 0),
              -std::strtod("57896044618658097711785492504343953926634992332820282019728792003956564819968", nullptr));
    std::vector<std::uint8_t> big(32, 0);
    big[0] = 1;
    big[25] = 1;
    EXPECT_EQ(arrow_detail::decimal_to_double(big.data(), 32, 2),
              std::strtod("16069380442589902755419620923411626025222029937827928353013.77", nullptr));

    // As sizes, with a null skipped; a decimal is no colour.
    Made sizes;
    sizes.format = "d:2,1";
    std::vector<std::uint8_t> values;
    for (std::uint64_t v : {1ull, 5ull, 3ull}) {
        const auto one = le(v, 0, 16);
        values.insert(values.end(), one.begin(), one.end());
    }
    sizes.buffers = {{0b101}, values};
    sizes.finish(3, 1);
    std::vector<std::pair<std::size_t, float>> seen;
    read_arrow_floats(check_arrow_column(sizes.schema, sizes.array), 0, [&](std::size_t i, float v) { seen.emplace_back(i, v); });
    EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, float>>{{0, 0.1f}, {2, 0.3f}}));
    EXPECT_EQ(refusal([&] {
                  read_arrow_colours(check_arrow_column(sizes.schema, sizes.array), 0, [](std::size_t, std::uint8_t) {});
              }).message,
              "an array of type decimal128(2, 1) is not accepted; it takes an integer type");
}

// A null-typed column (no buffers): every item null; and any column as
// the one child of a struct, as a one-column table gives it.
TEST(ArrowReader, NullColumnsAndOneColumnStructsReadAsTheirItems) {
    Made nulls;
    nulls.format = "n";
    nulls.finish(3, 3);
    nulls.array.buffers = nullptr;
    const ArrowColumn column = check_arrow_column(nulls.schema, nulls.array);
    std::vector<NodeId> ids(3);
    std::vector<float> weights(3);
    EXPECT_EQ(refusal([&] { read_arrow_ids(column, 4, ids.data()); }).item, 4u);
    EXPECT_EQ(refusal([&] { read_arrow_weights(column, 0, weights.data()); }).message, "the weight is null");
    int set = 0;
    read_arrow_texts(column, 0, [&](std::size_t, std::string_view) { ++set; });
    read_arrow_floats(column, 0, [&](std::size_t, float) { ++set; });
    read_arrow_colours(column, 0, [&](std::size_t, std::uint8_t) { ++set; });
    read_arrow_flags(column, 0, [&](std::size_t, bool) { ++set; });
    EXPECT_EQ(set, 0);
    nulls.finish(0, 0);
    read_arrow_ids(check_arrow_column(nulls.schema, nulls.array), 0, ids.data());
    read_arrow_weights(check_arrow_column(nulls.schema, nulls.array), 0, weights.data());
    nulls.buffers = {{}};  // the empty validity slot polars exports
    nulls.finish(1, 0);
    EXPECT_EQ(check_arrow_column(nulls.schema, nulls.array).first_null(), 0u);
    nulls.buffers = {{}, {}};  // a buffer where none belongs
    nulls.finish(1, 0);
    EXPECT_EQ(refusal([&] { check_arrow_column(nulls.schema, nulls.array); }).message,
              "an array of type null with 2 buffers is not valid; it has 0");

    Made child = text_array({std::string("x"), std::string("00112233-4455-6677-8899-aabbccddeeff")});
    ArrowSchema* child_schema = &child.schema;
    ArrowArray* child_array = &child.array;
    const void* no_validity = nullptr;
    ArrowSchema table{"+s", "", nullptr, 0, 1, &child_schema, nullptr, nullptr, nullptr};
    ArrowArray batch{1, 0, 1, 1, 1, &no_validity, &child_array, nullptr, nullptr, nullptr};
    const ArrowColumn inner = check_arrow_column(table, batch);
    EXPECT_EQ(inner.format.type, ArrowType::utf8);
    EXPECT_EQ(inner.length, 1u);
    read_arrow_ids(inner, 0, ids.data());
    EXPECT_EQ(ids[0].bytes[15], 0xFF);
    batch.length = 2;
    EXPECT_EQ(refusal([&] { check_arrow_column(table, batch); }).message, "the column of 2 items is shorter than its batch of 3");
    // Two columns, or a struct inside: refused. A count that lies past the
    // one child there is is refused by the count, no pointer read past it.
    ArrowSchema* two_schemas[] = {&child.schema, &child.schema};
    ArrowSchema two{"+s", "", nullptr, 0, 2, two_schemas, nullptr, nullptr, nullptr};
    EXPECT_EQ(refusal([&] { check_arrow_schema(two, ArrowShape::column); }).message,
              "a struct array (a record batch or table) of 2 columns is not accepted here; pass one of its columns");
    ArrowSchema lying{"+s", "", nullptr, 0, std::int64_t{1} << 62, &child_schema, nullptr, nullptr, nullptr};
    EXPECT_EQ(refusal([&] { check_arrow_schema(lying, ArrowShape::column); }).message,
              "a struct array (a record batch or table) of 4611686018427387904 columns is not accepted here; pass one "
              "of its columns");
    ArrowSchema* nested_schema = &table;
    ArrowSchema nested{"+s", "", nullptr, 0, 1, &nested_schema, nullptr, nullptr, nullptr};
    EXPECT_EQ(refusal([&] { check_arrow_schema(nested, ArrowShape::column); }).message,
              "a struct array (a record batch) is not accepted here; pass one of its columns");
}

// The pandas index columns of a schema's metadata, and every text that is
// not what pandas writes giving none.
TEST(ArrowMetadata, PandasIndexColumnsAndMalformedMetadataGivesNone) {
    const auto metadata = [](const std::vector<std::pair<std::string, std::string>>& pairs) {
        std::string out;
        const auto put = [&](std::int32_t n) { out.append(reinterpret_cast<const char*>(&n), 4); };
        put(static_cast<std::int32_t>(pairs.size()));
        for (const auto& [key, value] : pairs) {
            put(static_cast<std::int32_t>(key.size()));
            out += key;
            put(static_cast<std::int32_t>(value.size()));
            out += value;
        }
        return out;
    };
    using Names = std::vector<std::string>;
    const std::vector<std::pair<std::string, Names>> cases = {
        {R"({"index_columns": ["__index_level_0__", {"kind": "range", "start": 0}, "k\u00e9y\ud83d\ude00"], "x": [1, {"a": null}]})",
         {"__index_level_0__", "k\xC3\xA9y\xF0\x9F\x98\x80"}},
        {R"({"columns": [{"name": "a", "metadata": null}], "index_columns": [], "pandas_version": "3.0"})", {}},
        {R"({"index_columns": ["a"],})", {}},
        {R"({"index_columns": ["a")", {}},
        {R"(["index_columns", ["a"]])", {}},
        {R"({"index_columns": ["\ud800"]})", {}},
        {"{\"index_columns\": [\"a\x01\"]}", {}},
        {std::string(100, '[') + "]", {}},
        {R"({"x": )" + std::string(100, '[') + std::string(100, ']') + R"(, "index_columns": ["a"]})", {}},
        {R"({"index_columns": ["a"], "index_columns": ["b"]})", {"a"}},
    };
    for (const auto& [json, want] : cases) {
        const std::string m = metadata({{"other", "{}"}, {"pandas", json}});
        EXPECT_EQ(pandas_index_columns(m.c_str()), want) << json;
    }
    EXPECT_EQ(pandas_index_columns(nullptr), Names{});
    std::string lying = metadata({{"pandas", "{}"}});
    const std::int32_t negative = -5;
    std::memcpy(lying.data() + 4, &negative, 4);
    EXPECT_EQ(pandas_index_columns(lying.c_str()), Names{});
}

TEST(ArrowReader, HostileLayoutsAreRefusedBeforeAnyValueIsRead) {
    const auto refused = [](Made& m) {
        return refusal([&] {
            const ArrowColumn c = check_arrow_column(m.schema, m.array);
            read_arrow_texts(c, 0, [](std::size_t, std::string_view) {});
        }).message;
    };
    Made decreasing = text_array({std::string("ab"), std::string("cd")});
    reinterpret_cast<std::int32_t*>(decreasing.buffers[1].data())[1] = 3;
    reinterpret_cast<std::int32_t*>(decreasing.buffers[1].data())[2] = 2;
    EXPECT_EQ(refused(decreasing), "the array's offsets decrease");
    Made negative = text_array({std::string("ab")});
    reinterpret_cast<std::int32_t*>(negative.buffers[1].data())[0] = -1;
    EXPECT_EQ(refused(negative), "the array's offsets start below zero");
    Made buffers = text_array({std::string("ab")});
    buffers.array.n_buffers = 2;
    EXPECT_EQ(refused(buffers), "an array of type utf8 with 2 buffers is not valid; it has 3");
    Made children = text_array({std::string("ab")});
    children.array.n_children = 1;
    EXPECT_EQ(refused(children), "an array of type utf8 with 1 children is not valid");
    Made length = text_array({std::string("ab")});
    length.array.length = -1;
    EXPECT_EQ(refused(length), "the array's length -1 or offset 0 is out of range");
    Made nulls = text_array({std::string("ab")});
    nulls.array.null_count = 1;
    EXPECT_EQ(refused(nulls), "the array has 1 nulls but no validity bitmap");
    Made missing = text_array({std::string("ab")});
    missing.pointers[1] = nullptr;
    EXPECT_EQ(refused(missing), "the array's values buffer is missing");
    Made utf8 = text_array({std::string("\xC0\x80")});
    EXPECT_EQ(refused(utf8), "the text is not valid UTF-8");
    Made dictionary = text_array({std::string("ab")});
    dictionary.schema.dictionary = &dictionary.schema;
    EXPECT_EQ(refused(dictionary).rfind("a dictionary-encoded array is not accepted", 0), 0u);

    // A view that names bytes beyond its buffer's stated size.
    Made view;
    view.format = "vu";
    std::vector<std::uint8_t> views(16, 0);
    const std::int32_t size = 20, buffer = 0, offset = 10;
    std::memcpy(views.data(), &size, 4);
    std::memcpy(views.data() + 8, &buffer, 4);
    std::memcpy(views.data() + 12, &offset, 4);
    view.buffers = {{}, views, std::vector<std::uint8_t>(29, 'a'), bytes_of(std::vector<std::int64_t>{29})};
    view.finish(1);
    EXPECT_EQ(refused(view), "the view points outside its data buffers");
    reinterpret_cast<std::int64_t*>(view.buffers[3].data())[0] = 30;
    view.buffers[2].resize(30, 'a');
    view.finish(1);
    std::string seen;
    read_arrow_texts(check_arrow_column(view.schema, view.array), 0, [&](std::size_t, std::string_view t) { seen = t; });
    EXPECT_EQ(seen, std::string(20, 'a'));
}

TEST(ArrowOwned, ReleasesExactlyOnceOnEveryPathAndAfterAMove) {
    Made m = text_array({std::string("ab")});
    {
        OwnedArrowArray a;
        a.take(&m.array);
        EXPECT_EQ(m.array.release, nullptr);  // the source is marked moved
        OwnedArrowArray b(std::move(a));
        OwnedArrowArray c;
        c = std::move(b);
        c.reset();
        c.reset();
    }
    EXPECT_EQ(m.releases->array, 1);
}

// A stream of `chunks` utf8 chunks whose get_next fails at `fail_at`.
struct FakeStream {
    std::vector<Made> chunks;
    std::size_t next = 0;
    std::size_t fail_at = SIZE_MAX;
    int releases = 0;
    ArrowArrayStream stream{};

    FakeStream() {
        stream.get_schema = [](ArrowArrayStream* s, ArrowSchema* out) {
            auto* self = static_cast<FakeStream*>(s->private_data);
            *out = self->chunks.front().schema;
            out->release = [](ArrowSchema* schema) { schema->release = nullptr; };
            return 0;
        };
        stream.get_next = [](ArrowArrayStream* s, ArrowArray* out) {
            auto* self = static_cast<FakeStream*>(s->private_data);
            if (self->next == self->fail_at) return 5;
            if (self->next == self->chunks.size()) {
                out->release = nullptr;
                return 0;
            }
            *out = self->chunks[self->next++].array;
            return 0;
        };
        stream.get_last_error = [](ArrowArrayStream*) -> const char* { return "disk went away"; };
        stream.release = [](ArrowArrayStream* s) {
            ++static_cast<FakeStream*>(s->private_data)->releases;
            s->release = nullptr;
        };
        stream.private_data = this;
    }
};

TEST(ArrowStream, ChunksAreOwnedAndAFailurePartWayReleasesWhatCameAndSaysWhy) {
    for (const std::size_t fail_at : {std::size_t{0}, std::size_t{1}, SIZE_MAX}) {
        FakeStream fake;
        fake.fail_at = fail_at;
        fake.chunks.push_back(text_array({std::string("a")}));
        fake.chunks.push_back(text_array({std::string("b"), std::string("c")}));
        {
            OwnedArrowStream owned;
            owned.take(&fake.stream);
            if (fail_at == SIZE_MAX) {
                ArrowChunks chunks = read_arrow_stream(*owned.get());
                ASSERT_EQ(chunks.arrays.size(), 2u);
                EXPECT_EQ(chunks.arrays[1]->length, 2);
            } else {
                EXPECT_EQ(refusal([&] { read_arrow_stream(*owned.get()); }).message,
                          "the stream's get_next failed: disk went away");
            }
        }
        EXPECT_EQ(fake.releases, 1);
        EXPECT_EQ(fake.chunks[0].releases->array, fail_at == 0 ? 0 : 1);
        EXPECT_EQ(fake.chunks[1].releases->array, fail_at == SIZE_MAX ? 1 : 0);
    }
}

// --- a diff out and back in ---------------------------------------------------

NodeId id_of(unsigned n) {
    NodeId id;
    id.bytes[0] = static_cast<std::uint8_t>(n);
    id.bytes[1] = static_cast<std::uint8_t>(n >> 8);
    id.bytes[15] = 0x5A;
    return id;
}

// Exports the batch through a stream, as a consumer would take it, and
// reads every column back with the reader.
struct ReadBack {
    std::vector<std::vector<NodeId>> ids;
    std::vector<float> weights;
    std::vector<NodeUpdate> updates;
};

ReadBack read_back(const std::shared_ptr<const ExportBatch>& batch) {
    ArrowArrayStream raw;
    export_arrow_stream(batch, &raw);
    OwnedArrowStream stream;
    stream.take(&raw);
    ArrowChunks chunks = read_arrow_stream(*stream.get());
    EXPECT_EQ(chunks.arrays.size(), 1u);
    const ArrowBatch b = check_arrow_batch(*chunks.schema, *chunks.arrays[0]);
    ReadBack out;
    out.updates.resize(b.length);
    for (std::size_t c = 0; c < static_cast<std::size_t>(chunks.schema->n_children); ++c) {
        const std::string name = chunks.schema->children[c]->name;
        const ArrowColumn column = check_arrow_batch_child(b, c);
        if (name == "id" || name == "source" || name == "target") {
            out.ids.emplace_back(b.length);
            read_arrow_ids(column, 0, out.ids.back().data());
        } else if (name == "weight") {
            out.weights.resize(b.length);
            read_arrow_weights(column, 0, out.weights.data());
        } else {
            for_each_node_property([&](auto property) {
                using P = decltype(property);
                using Kind = typename P::Kind;
                if (name != P::dict_key) return;
                const auto set = [&](std::size_t i, auto value) { P::of(out.updates[i]) = typename Kind::Value(value); };
                if constexpr (std::is_same_v<Kind, node_property::Text>) read_arrow_texts(column, 0, set);
                if constexpr (std::is_same_v<Kind, node_property::Float>) read_arrow_floats(column, 0, set);
                if constexpr (std::is_same_v<Kind, node_property::Colour>) read_arrow_colours(column, 0, set);
                if constexpr (std::is_same_v<Kind, node_property::Flag>) read_arrow_flags(column, 0, set);
            });
        }
    }
    return out;
}

TEST(ArrowExport, TheFourBatchesReadBackInTheRecordsOrderAndEveryExportLetsGo) {
    std::mt19937 rng(11);
    GraphDiff diff;
    for (int i = 0; i < 3000; ++i) {
        const NodeId a = id_of(rng() % 300), b = id_of(rng() % 300);
        switch (rng() % 6) {
            case 0: {
                NodeUpdate u;
                if (rng() % 2) u.label = std::string(rng() % 7, static_cast<char>('a' + rng() % 26));
                if (rng() % 2) u.size = static_cast<float>(rng() % 100) / 4;
                if (rng() % 3) u.url = "https://example.org/\xC3\xA9" + std::to_string(rng() % 10);
                if (rng() % 2) u.red = static_cast<std::uint8_t>(rng());
                if (rng() % 4) u.green = static_cast<std::uint8_t>(rng());
                if (rng() % 2) u.blue = static_cast<std::uint8_t>(rng());
                if (rng() % 2) u.show_label = rng() % 2 == 0;
                diff.set_node_update(a, u);
                break;
            }
            case 1: diff.delete_node(a); break;
            case 2: diff.delete_edge(a, b); break;
            default: (void)diff.add_edge(a, b, static_cast<float>(rng() % 1000) / 8); break;
        }
    }
    auto nodes = std::make_shared<const ExportBatch>(node_updates_batch(diff));
    const ReadBack n = read_back(nodes);
    std::size_t row = 0;
    diff.nodes().for_each([&](const NodeId& id, const NodeUpdateView& update) {
        EXPECT_EQ(n.ids[0][row], id);
        EXPECT_EQ(NodeUpdate(update), n.updates[row]) << row;
        ++row;
    });
    EXPECT_EQ(row, n.updates.size());

    auto edges = std::make_shared<const ExportBatch>(edge_updates_batch(diff));
    const ReadBack e = read_back(edges);
    row = 0;
    diff.edges().new_or_updated().for_each([&](const NodeId& source, const auto& targets) {
        targets.for_each([&](const NodeId& target, float weight) {
            EXPECT_EQ(e.ids[0][row], source);
            EXPECT_EQ(e.ids[1][row], target);
            EXPECT_EQ(e.weights[row], weight);
            ++row;
        });
    });
    EXPECT_EQ(row, e.weights.size());

    auto deleted_edges = std::make_shared<const ExportBatch>(deleted_edges_batch(diff));
    EXPECT_EQ(read_back(deleted_edges).ids[1].size(), diff.edges().deleted().num_targets());
    auto deleted_nodes = std::make_shared<const ExportBatch>(deleted_nodes_batch(diff));
    EXPECT_EQ(read_back(deleted_nodes).ids[0].size(), diff.deleted_nodes().size());

    // A consumer that moves a child out and releases the parent first.
    ArrowArray parent, child;
    export_arrow_array(edges, &parent);
    child = *parent.children[2];
    parent.children[2]->release = nullptr;
    parent.release(&parent);
    EXPECT_EQ(edges.use_count(), 2);
    EXPECT_EQ(static_cast<const float*>(child.buffers[1])[0], e.weights[0]);
    child.release(&child);
    for (const auto* batch : {&nodes, &edges, &deleted_edges, &deleted_nodes}) EXPECT_EQ(batch->use_count(), 1);
}

}  // namespace
}  // namespace tarnu
