#include "arrow/arrow_import.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "arrow/uuid_text.hpp"
#include "basics/prefetch.hpp"
#include "basics/utf8.hpp"

namespace tarnu {

void throw_arrow_error(std::string message) {
    throw ArrowInputError{ArrowInputError::Kind::value, std::move(message), ArrowInputError::kNoItem};
}

void throw_arrow_item_error(std::size_t item, std::string message, ArrowInputError::Kind kind) {
    throw ArrowInputError{kind, std::move(message), item};
}

namespace {

// An array of more items than this is refused before any size is computed,
// so that offset + length and (offset + length) * 16 cannot overflow.
constexpr std::int64_t kMaxItems = std::int64_t{1} << 56;

// A format text as an error quotes it: printable ASCII, the rest escaped,
// at most 40 characters.
std::string quoted(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "'";
    for (std::size_t i = 0; i < text.size() && i < 40; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\'' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        }
    }
    if (text.size() > 40) out += "...";
    out += '\'';
    return out;
}

std::string_view format_text(const char* format) {
    // A format longer than this is no format of the interface.
    return format == nullptr ? std::string_view() : std::string_view(format, strnlen(format, 64));
}

[[noreturn]] void throw_dictionary() {
    throw_arrow_error("a dictionary-encoded array is not accepted; decode it first (cast it to its value type)");
}

[[noreturn]] void throw_children_count(const ArrowFormat& format, std::int64_t count) {
    throw_arrow_error("an array of type " + arrow_type_name(format) + " with " + std::to_string(count) +
                      " children is not valid");
}

[[noreturn]] void throw_length_out_of_range(const ArrowArray& array) {
    throw_arrow_error("the array's length " + std::to_string(array.length) + " or offset " +
                      std::to_string(array.offset) + " is out of range");
}

bool length_in_range(const ArrowArray& array) noexcept {
    return array.length >= 0 && array.offset >= 0 && array.length <= kMaxItems && array.offset <= kMaxItems;
}

// The checks every array meets beyond its schema's: counts, pointers,
// children, length and offset. Returns the array's validity bitmap, or null
// when it has no nulls.
const std::uint8_t* check_layout(const ArrowSchema& schema, const ArrowArray& array, const ArrowFormat& format) {
    if (array.dictionary != nullptr) throw_dictionary();
    if (!length_in_range(array)) throw_length_out_of_range(array);
    if (array.null_count < -1 || array.null_count > array.length) {
        throw_arrow_error("the array's null_count " + std::to_string(array.null_count) + " is out of range");
    }
    const auto want_children = format.type == ArrowType::structure ? schema.n_children : 0;
    if (array.n_children != want_children) throw_children_count(format, array.n_children);
    if (want_children > 0 && array.children == nullptr) throw_arrow_error("the array's children are missing");
    const std::int64_t want = format.facts().n_buffers;
    const bool views = format.layout == ArrowLayout::views;
    // polars (arrow-rs) exports a null array with one buffer, its absent
    // validity bitmap's slot, where the format has none; that slot is never read.
    const bool count_ok = views                                  ? array.n_buffers >= want
                          : format.layout == ArrowLayout::none ? array.n_buffers == want || array.n_buffers == 1
                                                                 : array.n_buffers == want;
    if (!count_ok) {
        throw_arrow_error("an array of type " + arrow_type_name(format) + " with " + std::to_string(array.n_buffers) +
                          " buffers is not valid; it has " + (views ? "at least " : "") + std::to_string(want));
    }
    // A null array has no buffer at all, not even a validity bitmap: every
    // item is null by its type (first_null).
    if (format.type == ArrowType::null) return nullptr;
    if (array.buffers == nullptr) throw_arrow_error("the array's buffers are missing");
    const auto* validity = static_cast<const std::uint8_t*>(array.buffers[0]);
    if (array.null_count == 0 || array.length == 0) return nullptr;
    if (validity == nullptr) {
        if (array.null_count > 0) {
            throw_arrow_error("the array has " + std::to_string(array.null_count) + " nulls but no validity bitmap");
        }
        return nullptr;
    }
    return validity;
}

// A buffer that must be there unless the array holds no item.
const void* required_buffer(const ArrowArray& array, std::size_t index, const char* what) {
    const void* buffer = array.buffers[index];
    if (buffer == nullptr && array.length > 0) throw_arrow_error(std::string("the array's ") + what + " buffer is missing");
    return buffer;
}

template <class Offset>
void check_offsets(const ArrowColumn& column, const std::uint8_t* data) {
    const auto* offsets = static_cast<const Offset*>(column.values) + column.offset;
    Offset previous = offsets[0];
    if (previous < 0) throw_arrow_error("the array's offsets start below zero");
    for (std::size_t i = 0; i < column.length; ++i) {
        const Offset next = offsets[i + 1];
        if (next < previous) throw_arrow_item_error(i, "the array's offsets decrease");
        previous = next;
    }
    if (data == nullptr && previous != offsets[0]) throw_arrow_error("the array's data buffer is missing");
}

// Each view of a valid item names bytes inside its buffer, whose size the
// array's last buffer states.
void check_views(ArrowColumn& column, const ArrowArray& array) {
    column.variadic_count = static_cast<std::size_t>(array.n_buffers - 3);
    column.variadic = array.buffers + 2;
    const auto* sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
    if (sizes == nullptr && column.variadic_count > 0) throw_arrow_error("the array's variadic sizes buffer is missing");
    for (std::size_t b = 0; b < column.variadic_count; ++b) {
        if (sizes[b] < 0 || (sizes[b] > 0 && column.variadic[b] == nullptr)) {
            throw_arrow_error("the array's variadic buffer " + std::to_string(b) + " is missing or of a negative size");
        }
    }
    const auto* views = static_cast<const std::uint8_t*>(column.values);
    for (std::size_t i = 0; i < column.length; ++i) {
        if (!column.valid(i)) continue;
        const std::uint8_t* view = views + 16 * (column.offset + i);
        std::int32_t size, buffer, offset;
        std::memcpy(&size, view, 4);
        if (size < 0) throw_arrow_item_error(i, "the view's size is negative");
        if (size <= 12) continue;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        if (buffer < 0 || static_cast<std::size_t>(buffer) >= column.variadic_count || offset < 0 ||
            std::int64_t{offset} + size > sizes[buffer]) {
            throw_arrow_item_error(i, "the view points outside its data buffers");
        }
    }
}

// "d:P,S" or "d:P,S,N": a precision of 1 to 76 digits, a scale of at most
// four digits either side of zero, and a width of 32, 64, 128 (the default)
// or 256 bits.
ArrowFormat parse_decimal_format(std::string_view f) {
    std::string_view rest = f.substr(2);
    const auto number = [&](bool is_signed, std::int32_t& out) {
        bool negative = false;
        if (is_signed && !rest.empty() && rest[0] == '-') {
            negative = true;
            rest.remove_prefix(1);
        }
        std::size_t digits = 0;
        std::int32_t value = 0;
        while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9' && digits < 5) {
            value = value * 10 + (rest[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits == 5) return false;
        rest.remove_prefix(digits);
        out = negative ? -value : value;
        return true;
    };
    ArrowFormat format{ArrowType::decimal, 16};
    std::int32_t bits = 128;
    bool ok = number(false, format.precision) && !rest.empty() && rest[0] == ',';
    if (ok) {
        rest.remove_prefix(1);
        ok = number(true, format.scale);
    }
    if (ok && !rest.empty()) {
        ok = rest[0] == ',';
        rest.remove_prefix(1);
        ok = ok && number(false, bits) && rest.empty();
    }
    ok = ok && format.precision >= 1 && format.precision <= 76 &&
         (bits == 32 || bits == 64 || bits == 128 || bits == 256);
    if (!ok) throw_arrow_error("malformed Arrow format " + quoted(f));
    format.byte_width = bits / 8;
    return format;
}

}  // namespace

ArrowFormat parse_arrow_format(const char* format) {
    const std::string_view f = format_text(format);
    // The types with parameters are parsed by hand below, after their
    // row's prefix.
    for (const ArrowTypeFacts& row : kArrowTypes) {
        if (!row.parameterised() && row.format == f) return {row.type};
    }
    const auto parameters_of = [&](ArrowType type) {
        const std::string_view prefix = arrow_type_facts(type).format;
        return f.size() > prefix.size() && f.substr(0, prefix.size()) == prefix;
    };
    if (parameters_of(ArrowType::fixed_size_binary)) {
        std::int64_t width = 0;
        for (const char c : f.substr(2)) {
            if (c < '0' || c > '9' || width > (1 << 20)) throw_arrow_error("malformed Arrow format " + quoted(f));
            width = width * 10 + (c - '0');
        }
        if (width <= 0 || width > (1 << 20)) throw_arrow_error("malformed Arrow format " + quoted(f));
        return {ArrowType::fixed_size_binary, static_cast<std::int32_t>(width)};
    }
    if (parameters_of(ArrowType::decimal)) return parse_decimal_format(f);
    // The other families of the interface: temporal types, nested
    // types (lists, maps, unions, run-end encoded).
    if (f.size() > 1 && (f[0] == 't' || f[0] == '+')) {
        throw_arrow_error("unsupported Arrow format " + quoted(f));
    }
    throw_arrow_error("malformed Arrow format " + quoted(f));
}

bool is_arrow_struct(const ArrowSchema& schema) {
    return format_text(schema.format) == arrow_type_facts(ArrowType::structure).format;
}

std::string arrow_schema_formats(const ArrowSchema& schema) {
    std::string formats(format_text(schema.format));
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        formats += '\0';
        formats += format_text(schema.children[c]->format);
    }
    return formats;
}

ArrowFormat check_arrow_schema(const ArrowSchema& schema, ArrowShape shape) {
    const ArrowFormat format = parse_arrow_format(schema.format);
    const bool structure = format.type == ArrowType::structure;
    if (shape == ArrowShape::column && structure) {
        // A one-column table or record batch: its column. Its one child is
        // checked as a flat array, so a struct of a struct is refused. The
        // count first: any other is refused without walking that many
        // child pointers, which a count that lies would send past the end.
        if (schema.n_children != 1) {
            throw_arrow_error("a struct array (a record batch or table) of " + std::to_string(schema.n_children) +
                              " columns is not accepted here; pass one of its columns");
        }
        check_arrow_schema(schema, ArrowShape::batch);
        return check_arrow_schema(*schema.children[0], ArrowShape::flat);
    }
    if (shape == ArrowShape::flat && structure) {
        throw_arrow_error("a struct array (a record batch) is not accepted here; pass one of its columns");
    }
    if (shape == ArrowShape::batch && !structure) {
        throw_arrow_error("an array of type " + arrow_type_name(format) +
                          " is not accepted here; a struct array, record batch or table is");
    }
    if (schema.dictionary != nullptr) throw_dictionary();
    const auto want_children = structure ? schema.n_children : 0;
    if (schema.n_children != want_children || want_children < 0) throw_children_count(format, schema.n_children);
    if (want_children > 0 && schema.children == nullptr) throw_arrow_error("the array's children are missing");
    for (std::int64_t c = 0; c < want_children; ++c) {
        if (schema.children[c] == nullptr) throw_arrow_error("the array's children are missing");
    }
    return format;
}

std::size_t arrow_chunks_length(const std::vector<OwnedArrowArray>& arrays) {
    std::size_t total = 0;
    for (const OwnedArrowArray& array : arrays) {
        if (!length_in_range(*array)) throw_length_out_of_range(*array);
        // Each length is at most kMaxItems, and so is the running total:
        // the sum cannot wrap.
        total += static_cast<std::size_t>(array->length);
        if (total > static_cast<std::size_t>(kMaxItems)) {
            throw_arrow_error("the chunks hold more than " + std::to_string(kMaxItems) + " items in all");
        }
    }
    return total;
}

namespace {

ArrowColumn flat_column_layout(const ArrowSchema& schema, const ArrowArray& array) {
    ArrowColumn column;
    column.format = check_arrow_schema(schema, ArrowShape::flat);
    column.validity = check_layout(schema, array, column.format);
    column.length = static_cast<std::size_t>(array.length);
    column.offset = static_cast<std::size_t>(array.offset);
    if (column.format.layout != ArrowLayout::none) column.values = required_buffer(array, 1, "values");
    return column;
}

ArrowColumn flat_column(const ArrowSchema& schema, const ArrowArray& array);

// The column of a one-column struct array: its child, checked by `check`,
// as long as the struct and from the struct's offset on.
template <class Check>
ArrowColumn only_child(const ArrowSchema& schema, const ArrowArray& array, Check&& check) {
    check_arrow_schema(schema, ArrowShape::column);  // one child
    const ArrowBatch batch = check_arrow_batch(schema, array);
    ArrowColumn column = check(*schema.children[0], *array.children[0]);
    if (column.length < batch.offset + batch.length) {
        throw_arrow_error("the column of " + std::to_string(column.length) + " items is shorter than its batch of " +
                          std::to_string(batch.offset + batch.length));
    }
    column.offset += batch.offset;
    column.length = batch.length;
    return column;
}

}  // namespace

ArrowColumn check_arrow_column_layout(const ArrowSchema& schema, const ArrowArray& array) {
    if (is_arrow_struct(schema)) return only_child(schema, array, flat_column_layout);
    return flat_column_layout(schema, array);
}

ArrowColumn check_arrow_column(const ArrowSchema& schema, const ArrowArray& array) {
    if (is_arrow_struct(schema)) return only_child(schema, array, flat_column);
    return flat_column(schema, array);
}

namespace {

ArrowColumn flat_column(const ArrowSchema& schema, const ArrowArray& array) {
    ArrowColumn column = flat_column_layout(schema, array);
    switch (column.format.layout) {
        case ArrowLayout::offsets32:
            // An empty array may come with no offsets at all.
            if (column.values == nullptr) break;
            column.data = static_cast<const std::uint8_t*>(array.buffers[2]);
            check_offsets<std::int32_t>(column, column.data);
            break;
        case ArrowLayout::offsets64:
            if (column.values == nullptr) break;
            column.data = static_cast<const std::uint8_t*>(array.buffers[2]);
            check_offsets<std::int64_t>(column, column.data);
            break;
        case ArrowLayout::views: check_views(column, array); break;
        default: break;
    }
    return column;
}

}  // namespace

ArrowBatch check_arrow_batch(const ArrowSchema& schema, const ArrowArray& array) {
    const ArrowFormat format = check_arrow_schema(schema, ArrowShape::batch);
    if (check_layout(schema, array, format) != nullptr) {
        throw_arrow_error("a struct array whose rows are null is not accepted");
    }
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        if (array.children[c] == nullptr) throw_arrow_error("the array's children are missing");
    }
    return {&schema, &array, static_cast<std::size_t>(array.length), static_cast<std::size_t>(array.offset)};
}

ArrowColumn check_arrow_batch_child(const ArrowBatch& batch, std::size_t index) {
    const ArrowSchema& schema = *batch.schema->children[index];
    const ArrowArray& array = *batch.array->children[index];
    ArrowColumn column = flat_column(schema, array);
    // The parent's offset applies on top of the child's own.
    if (column.length < batch.offset + batch.length) {
        throw_arrow_error("the column of " + std::to_string(column.length) + " items is shorter than its batch of " +
                          std::to_string(batch.offset + batch.length));
    }
    column.offset += batch.offset;
    column.length = batch.length;
    return column;
}

void read_arrow_stream(ArrowArrayStream& stream, OwnedArrowSchema& schema, std::vector<OwnedArrowArray>& arrays) {
    const auto failed = [&](const char* what, int code) {
        const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
        std::string message = std::string("the stream's ") + what + " failed";
        if (text != nullptr) {
            message += ": ";
            message += std::string_view(text, strnlen(text, 4096));
        } else {
            message += " with error " + std::to_string(code);
        }
        throw_arrow_error(std::move(message));
    };
    if (stream.get_schema == nullptr || stream.get_next == nullptr) throw_arrow_error("the stream's callbacks are missing");
    if (const int code = stream.get_schema(&stream, schema.get()); code != 0) failed("get_schema", code);
    if (!schema.held()) throw_arrow_error("the stream gave a released schema");
    for (;;) {
        arrays.emplace_back();
        if (const int code = stream.get_next(&stream, arrays.back().get()); code != 0) failed("get_next", code);
        if (!arrays.back().held()) {  // the end
            arrays.pop_back();
            return;
        }
    }
}

ArrowChunks read_arrow_stream(ArrowArrayStream& stream) {
    ArrowChunks chunks;
    read_arrow_stream(stream, chunks.schema, chunks.arrays);
    return chunks;
}

// --- reading ----------------------------------------------------------------

std::size_t ArrowColumn::first_null() const noexcept {
    if (format.type == ArrowType::null) return 0;  // item 0, or length 0
    if (validity == nullptr) return length;
    for (std::size_t i = 0; i < length; ++i) {
        if (!valid(i)) return i;
    }
    return length;
}

std::string_view ArrowColumn::bytes_of(std::size_t i) const noexcept {
    const std::size_t k = offset + i;
    switch (format.layout) {
        case ArrowLayout::offsets32: {
            const auto* offsets = static_cast<const std::int32_t*>(values);
            return {reinterpret_cast<const char*>(data) + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])};
        }
        case ArrowLayout::offsets64: {
            const auto* offsets = static_cast<const std::int64_t*>(values);
            return {reinterpret_cast<const char*>(data) + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])};
        }
        case ArrowLayout::views: {
            const auto* view = static_cast<const std::uint8_t*>(values) + 16 * k;
            std::int32_t size, buffer, start;
            std::memcpy(&size, view, 4);
            if (size <= 12) return {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(size)};
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&start, view + 12, 4);
            return {static_cast<const char*>(variadic[buffer]) + start, static_cast<std::size_t>(size)};
        }
        default: return {};
    }
}

namespace arrow_detail {

float half_to_float(std::uint16_t half) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000) << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1F;
    std::uint32_t mantissa = half & 0x3FF;
    std::uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000 | (mantissa << 13);
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        bits = sign;
    } else {
        // A subnormal half is a normal float: shift its mantissa up.
        int e = 113;
        while ((mantissa & 0x400) == 0) {
            mantissa <<= 1;
            --e;
        }
        bits = sign | (static_cast<std::uint32_t>(e) << 23) | ((mantissa & 0x3FF) << 13);
    }
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

bool is_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    // Eight ASCII bytes at a time: labels and urls are mostly ASCII.
    for (std::uint64_t word; i + 8 <= text.size(); i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080u) != 0) break;
    }
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        bool valid = false;
        i += utf8_sequence(text, i, &valid);
        if (!valid) return false;
    }
    return true;
}

double decimal_to_double(const std::uint8_t* digits, std::int32_t width, std::int32_t scale) noexcept {
    // The integer as four 64-bit limbs, least significant first, sign
    // extended; then its magnitude.
    std::uint64_t limbs[4] = {};
    int count = 1;
    if (width == 4) {
        std::int32_t value;
        std::memcpy(&value, digits, 4);
        limbs[0] = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    } else {
        count = width / 8;
        for (int k = 0; k < count; ++k) {
            // The limbs lie in the host's order: most significant first on
            // a big-endian host.
            const int at = std::endian::native == std::endian::little ? k : count - 1 - k;
            std::memcpy(&limbs[k], digits + 8 * at, 8);
        }
    }
    for (int k = count; k < 4; ++k) limbs[k] = static_cast<std::int64_t>(limbs[count - 1]) < 0 ? ~0ull : 0;
    const bool negative = static_cast<std::int64_t>(limbs[3]) < 0;
    if (negative) {
        bool carry = true;
        for (std::uint64_t& limb : limbs) {
            limb = ~limb + (carry ? 1 : 0);
            carry = carry && limb == 0;
        }
    }
    // Both operands exact as doubles: the one operation rounds correctly.
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if ((limbs[1] | limbs[2] | limbs[3]) == 0 && limbs[0] <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
        const auto m = static_cast<double>(limbs[0]);
        const double value = scale >= 0 ? m / kPowers[scale] : m * kPowers[-scale];
        return negative ? -value : value;
    }
    // Otherwise the value's text, rounded by strtod (correctly, as glibc's
    // does; no decimal point, so the locale does not matter). At most 78
    // digits (95 before the leading zeros go) and an exponent of at most
    // five digits.
    char reversed[100];
    count = 0;
    while ((limbs[0] | limbs[1] | limbs[2] | limbs[3]) != 0) {
        // Divide by 10^19, the largest power of ten in a limb, and write the
        // remainder's 19 digits.
        constexpr std::uint64_t kChunk = 10000000000000000000ull;
        unsigned __int128 remainder = 0;
        for (int k = 3; k >= 0; --k) {
            const unsigned __int128 part = (remainder << 64) | limbs[k];
            limbs[k] = static_cast<std::uint64_t>(part / kChunk);
            remainder = part % kChunk;
        }
        auto low = static_cast<std::uint64_t>(remainder);
        for (int d = 0; d < 19; ++d) {
            reversed[count++] = static_cast<char>('0' + low % 10);
            low /= 10;
        }
    }
    while (count > 1 && reversed[count - 1] == '0') --count;
    if (count == 0) reversed[count++] = '0';
    char text[112];
    int at = 0;
    if (negative) text[at++] = '-';
    while (count > 0) text[at++] = reversed[--count];
    text[at++] = 'e';
    // The exponent is -scale, |scale| < 10^5 (parse_decimal_format).
    std::uint32_t exponent = static_cast<std::uint32_t>(scale < 0 ? -scale : scale);
    if (scale > 0) text[at++] = '-';
    char exponent_digits[8];
    int e = 0;
    do {
        exponent_digits[e++] = static_cast<char>('0' + exponent % 10);
        exponent /= 10;
    } while (exponent != 0);
    while (e > 0) text[at++] = exponent_digits[--e];
    text[at] = '\0';
    // Beyond the doubles strtod gives the infinity or the zero of the sign,
    // as float(Decimal) does.
    return std::strtod(text, nullptr);
}

void throw_wrong_type(const ArrowColumn& column, const char* accepted) {
    throw_arrow_error("an array of type " + arrow_type_name(column.format) + " is not accepted; it takes " + accepted);
}

}  // namespace arrow_detail

bool arrow_ids_in_place(const ArrowColumn& column) noexcept {
    return column.format.type == ArrowType::fixed_size_binary && column.format.byte_width == 16 &&
           column.validity == nullptr;
}

namespace {

[[noreturn]] void throw_not_uuid(std::size_t item, std::string_view text) {
    if (text.size() != 36 && text.size() != 32) {
        // Bytes, not characters: the text is not known to be UTF-8 here.
        throw_arrow_item_error(item, "text of " + std::to_string(text.size()) +
                                         " bytes is not a UUID (36 characters with hyphens, or 32 hex digits)");
    }
    throw_arrow_item_error(item, quoted(text) + " is not a UUID");
}

// The common case of UUID text, a utf8 column, with its offsets read
// directly rather than through bytes_of's switch per item.
template <class Offset>
void parse_uuid_column(const ArrowColumn& column, std::size_t first, NodeId* out) {
    const auto* offsets = arrow_detail::values_from_offset<Offset>(column);
    const char* data = reinterpret_cast<const char*>(column.data);
    for (std::size_t i = 0; i < column.length; ++i) {
        const char* text = data + offsets[i];
        // The text is read once, front to back, yet the hardware prefetcher
        // here left the loop waiting on memory for half its time (24 against
        // 12 ns per id over 1M ids, bench_arrow): ask for the lines about 57
        // ids ahead. A prefetch past the buffer's end does not fault.
        detail::prefetch(text + 2048);
        const auto size = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
        if (!parse_uuid_text(text, size, out[i].bytes.data())) [[unlikely]] {
            throw_not_uuid(first + i, std::string_view(text, size));
        }
    }
}

}  // namespace

void read_arrow_ids(const ArrowColumn& column, std::size_t first, NodeId* out) {
    constexpr const char* kAccepted =
        "fixed_size_binary(16), binary, large_binary or binary_view of 16-byte values, or utf8, large_utf8 or "
        "string_view of UUID text";
    if (const std::size_t null = column.first_null(); null < column.length) {
        throw_arrow_item_error(first + null, "the id is null");
    }
    const ArrowTypeFacts& facts = column.format.facts();
    if ((facts.readers & arrow_reader::ids) == 0) arrow_detail::throw_wrong_type(column, kAccepted);
    switch (facts.kind) {
        case ArrowKind::null: return;  // empty: a null item was refused above
        case ArrowKind::bytes:
            if (column.format.layout == ArrowLayout::fixed) {
                if (column.format.byte_width != 16) arrow_detail::throw_wrong_type(column, kAccepted);
                if (column.length > 0) std::memcpy(static_cast<void*>(out), column.fixed_of(0), 16 * column.length);
                return;
            }
            for (std::size_t i = 0; i < column.length; ++i) {
                const std::string_view value = column.bytes_of(i);
                if (value.size() != 16) {
                    throw_arrow_item_error(first + i,
                                           "a value of " + std::to_string(value.size()) + " bytes is not a 16-byte id");
                }
                std::memcpy(out[i].bytes.data(), value.data(), 16);
            }
            return;
        case ArrowKind::text:
            if (column.format.layout == ArrowLayout::offsets32) return parse_uuid_column<std::int32_t>(column, first, out);
            if (column.format.layout == ArrowLayout::offsets64) return parse_uuid_column<std::int64_t>(column, first, out);
            for (std::size_t i = 0; i < column.length; ++i) {
                const std::string_view text = column.bytes_of(i);
                if (!parse_uuid_text(text.data(), text.size(), out[i].bytes.data())) [[unlikely]] {
                    throw_not_uuid(first + i, text);
                }
            }
            return;
        default: arrow_detail::throw_wrong_type(column, kAccepted);
    }
}

void read_arrow_weights(const ArrowColumn& column, std::size_t first, float* out) {
    if (const std::size_t null = column.first_null(); null < column.length) {
        throw_arrow_item_error(first + null, "the weight is null");
    }
    if (column.format.type == ArrowType::null) return;  // empty
    arrow_detail::visit_numbers(column, false, "a float, integer or decimal type",
                                [&](std::size_t i, auto value) { out[i] = arrow_detail::to_weight(value); });
}

}  // namespace tarnu
