#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "node_update/float_text.hpp"

namespace tarnu {
namespace {

std::string float_text(float value) {
    char buffer[kFloatTextCapacity];
    return std::string(buffer, write_float_text(buffer, value));
}

float float_from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// Parses the whole of `text` as a 32-bit float; false if anything is left over.
bool parse_float(std::string_view text, float& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

TEST(FloatText, WritesTheReferenceTable) {
    const struct {
        float value;
        const char* text;
    } cases[] = {
        {1.0F, "1.0"},
        {1.5F, "1.5"},
        {-2.5F, "-2.5"},
        {0.1F, "0.1"},
        {1.0F / 3.0F, "0.33333334"},
        {123456.789F, "123456.79"},
        {16777216.0F, "16777216.0"},
        {9999999e6F, "9999999000000.0"},
        {1e13F, "1e13"},
        {1e-5F, "0.00001"},
        {1e-7F, "1e-7"},
        {std::numeric_limits<float>::max(), "3.4028235e38"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
        {-0.0F, "-0.0"},
        {0.0F, "0.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text) << c.text;
}

TEST(FloatText, SwitchesLayoutAtTheDigitCountBoundaries) {
    // Integral values stay plain up to 13 digits before the point.
    EXPECT_EQ(float_text(100.0F), "100.0");
    EXPECT_EQ(float_text(1e12F), "1000000000000.0");
    EXPECT_EQ(float_text(-1e12F), "-1000000000000.0");
    EXPECT_EQ(float_text(1e14F), "1e14");
    EXPECT_EQ(float_text(1.5e13F), "1.5e13");
    // Fractions with 1 to 13 integral digits get a point inside the digits.
    EXPECT_EQ(float_text(12.25F), "12.25");
    EXPECT_EQ(float_text(1.2345678F), "1.2345678");
    // Up to five zeros after "0." before switching to scientific form.
    EXPECT_EQ(float_text(0.001F), "0.001");
    EXPECT_EQ(float_text(1e-6F), "0.000001");
    EXPECT_EQ(float_text(1.2345678e-5F), "0.000012345678");
    EXPECT_EQ(float_text(1.5e-7F), "1.5e-7");
    EXPECT_EQ(float_text(-1.5e-7F), "-1.5e-7");
    EXPECT_EQ(float_text(std::numeric_limits<float>::min()), "1.1754944e-38");
    EXPECT_EQ(float_text(1e38F), "1e38");
}

TEST(FloatText, StaysWithinItsScratchCapacity) {
    // The longest layouts: leading zeros plus nine digits, and a negative
    // scientific form with a two-digit negative exponent.
    const float longest[] = {-1.2345679e-6F, -1.1754942e-38F, -9.999999e12F, -1.23456789e-5F};
    for (float v : longest) EXPECT_LE(float_text(v).size(), 17U) << float_text(v);
}

// The text of |value| = digits * 10^k (digits without trailing zeros) laid
// out by the rules, p being the count of digits before the point.
std::string laid_out(bool negative, const std::string& digits, int k) {
    const int n = static_cast<int>(digits.size());
    const int p = n + k;
    std::string text = negative ? "-" : "";
    if (k >= 0 && p <= 13) {
        text.append(digits).append(k, '0').append(".0");
    } else if (p > 0 && p <= 13) {
        text.append(digits, 0, p).append(".").append(digits, p);
    } else if (p <= 0 && p >= -5) {
        text.append("0.").append(-p, '0').append(digits);
    } else {
        text += digits.substr(0, 1);
        if (n > 1) text.append(".").append(digits, 1);
        text.append("e").append(std::to_string(p - 1));
    }
    return text;
}

// Everything a correct text must satisfy for one finite value: it reads back
// as the same bits, no string with one digit fewer does, it is the nearest
// string of its length when that one reads back, and its layout is the one
// the decimal exponent calls for. Returns an empty string or what went wrong.
std::string check_value(float value) {
    const std::string text = float_text(value);
    float back = 0;
    if (!parse_float(text, back) || std::bit_cast<std::uint32_t>(back) != std::bit_cast<std::uint32_t>(value)) {
        return "does not read back: " + text;
    }

    // Split the text into its significant digits d and exponent k (|value| = d * 10^k).
    std::string_view rest = text;
    const bool negative = !rest.empty() && rest.front() == '-';
    if (negative) rest.remove_prefix(1);
    std::string digits;
    int k = 0;
    bool after_point = false;
    std::size_t i = 0;
    for (; i < rest.size() && rest[i] != 'e'; ++i) {
        if (rest[i] == '.') {
            after_point = true;
        } else {
            digits.push_back(rest[i]);
            if (after_point) --k;
        }
    }
    if (i < rest.size()) {
        int e = 0;
        std::from_chars(rest.data() + i + 1, rest.data() + rest.size(), e);
        k += e;
    }
    while (digits.size() > 1 && digits.front() == '0') digits.erase(0, 1);
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
        ++k;
    }
    if (value == 0) return text == (negative ? "-0.0" : "0.0") ? "" : "bad zero: " + text;

    const int n = static_cast<int>(digits.size());
    const float magnitude = std::fabs(value);

    // No string of n - 1 digits reads back: it suffices to try the two that
    // bracket the value at that length, the truncation of d and one above it.
    if (n > 1) {
        const std::uint64_t truncated = std::stoull(digits.substr(0, digits.size() - 1));
        for (std::uint64_t candidate : {truncated, truncated + 1}) {
            const std::string shorter = std::to_string(candidate) + "e" + std::to_string(k + 1);
            float f = 0;
            if (parse_float(shorter, f) && f == magnitude) return "shorter " + shorter + " also reads back: " + text;
        }
    }

    // The exact value correctly rounded to n digits is the nearest string of
    // that length; when it reads back, it must be the one written.
    char nearest[64];
    const auto r = std::to_chars(nearest, nearest + sizeof nearest, static_cast<double>(magnitude),
                                 std::chars_format::scientific, n - 1);
    float nearest_float = 0;
    if (parse_float(std::string_view(nearest, r.ptr), nearest_float) && nearest_float == magnitude) {
        double written = 0;
        double expected = 0;
        std::from_chars(nearest, r.ptr, expected);
        std::from_chars(text.data() + negative, text.data() + text.size(), written);
        if (written != expected) return "not the nearest: " + text + " vs " + std::string(nearest, r.ptr);
    }

    // Lay the digits out by the rules and compare with what was written.
    const std::string expected_text = laid_out(negative, digits, k);
    if (expected_text != text) return "layout " + text + " where " + expected_text + " was due";
    return "";
}

void check_all(const std::vector<std::uint32_t>& patterns, const char* what) {
    int failures = 0;
    for (std::uint32_t bits : patterns) {
        const float value = float_from_bits(bits);
        if (!std::isfinite(value)) continue;
        const std::string problem = check_value(value);
        if (!problem.empty() && ++failures <= 10) {
            ADD_FAILURE() << what << " 0x" << std::hex << bits << ": " << problem;
        }
    }
    EXPECT_EQ(failures, 0) << what;
}

TEST(FloatTextRoundTrip, EveryExponentAndBothSigns) {
    std::vector<std::uint32_t> patterns;
    const std::uint32_t mantissas[] = {0, 1, 2, 3, 0x400000, 0x2AAAAA, 0x555555, 0x7FFFFD, 0x7FFFFE, 0x7FFFFF};
    for (std::uint32_t sign = 0; sign < 2; ++sign) {
        for (std::uint32_t exponent = 0; exponent < 255; ++exponent) {
            for (std::uint32_t m : mantissas) patterns.push_back(sign << 31 | exponent << 23 | m);
            for (std::uint32_t m = 0; m < 0x800000; m += 4099) patterns.push_back(sign << 31 | exponent << 23 | m);
        }
    }
    check_all(patterns, "exponent sweep");
}

TEST(FloatTextRoundTrip, SubnormalsAndPowersOfTen) {
    std::vector<std::uint32_t> patterns;
    for (std::uint32_t m = 1; m < 0x10000; ++m) patterns.push_back(m);          // smallest subnormals
    for (std::uint32_t m = 0x10000; m < 0x800000; m += 37) patterns.push_back(m);
    for (int e = -45; e <= 38; ++e) {
        float f = 0;
        ASSERT_TRUE(parse_float("1e" + std::to_string(e), f));
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
        for (std::uint32_t b : {bits - 1, bits, bits + 1}) {
            patterns.push_back(b);
            patterns.push_back(b | 0x80000000U);
        }
    }
    check_all(patterns, "subnormals and powers of ten");
}

TEST(FloatTextRoundTrip, StrideOverAllPatternsAndRandomOnes) {
    std::vector<std::uint32_t> patterns;
    for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFULL; bits += 2039) patterns.push_back(static_cast<std::uint32_t>(bits));
    std::mt19937 rng(20240611);
    for (int i = 0; i < 1'000'000; ++i) patterns.push_back(static_cast<std::uint32_t>(rng()));
    check_all(patterns, "stride and random");
}

// The formatter finds its digits itself; they must be the standard
// library's shortest digits (std::to_chars), byte for byte. It was compared
// with them over all 2^32 patterns once; this keeps a sample of that.
TEST(FloatTextRoundTrip, AgreesWithTheStandardLibrarysShortestDigits) {
    std::vector<std::uint32_t> patterns;
    for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFULL; bits += 4093) patterns.push_back(static_cast<std::uint32_t>(bits));
    std::mt19937 rng(917);
    for (int i = 0; i < 1'000'000; ++i) patterns.push_back(static_cast<std::uint32_t>(rng()));
    // Each exponent's first and last significands, where the interval is
    // lopsided or the scaled bounds have trailing zeros.
    for (std::uint32_t exponent = 0; exponent < 255; ++exponent)
        for (std::uint32_t m : {0U, 1U, 2U, 0x7FFFFEU, 0x7FFFFFU}) patterns.push_back(exponent << 23 | m);
    int failures = 0;
    for (const std::uint32_t bits : patterns) {
        const float value = float_from_bits(bits);
        if (!std::isfinite(value)) continue;
        char buffer[64];
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
        const std::string_view scientific(buffer, static_cast<std::size_t>(r.ptr - buffer));
        const std::size_t e = scientific.find('e');
        std::string digits(1, scientific[0]);
        if (e > 1) digits.append(scientific.substr(2, e - 2));
        const std::string_view exponent_text = scientific.substr(e + (scientific[e + 1] == '+' ? 2 : 1));
        int exponent = 0;
        std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
        const std::string expected = laid_out(std::signbit(value), digits, exponent - static_cast<int>(digits.size()) + 1);
        if (float_text(value) != expected && ++failures <= 10)
            ADD_FAILURE() << "0x" << std::hex << bits << ": " << float_text(value) << " where " << expected << " was due";
    }
    EXPECT_EQ(failures, 0);
}

TEST(FloatText, NonFiniteValuesAreNamedNotNumbered) {
    // The JSON writer replaces these by null; here they must at least not
    // pass for numbers.
    EXPECT_EQ(float_text(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(float_text(-std::numeric_limits<float>::infinity()), "-inf");
    EXPECT_EQ(float_text(std::numeric_limits<float>::quiet_NaN()).find_first_of("0123456789"), std::string::npos);
}

}  // namespace
}  // namespace tarnu
