#pragma once

#include <cstddef>

namespace tarnu {

// Size of the output area write_float_text needs. The longest text is 17
// bytes ("-0.000012345678"); the rest is room for the fixed-size block copies
// the layout makes.
inline constexpr std::size_t kFloatTextCapacity = 32;

// Writes the shortest decimal text that reads back as the same 32-bit float
// and returns the end of what it wrote; `out` must hold kFloatTextCapacity
// bytes. The digits are the shortest round-trip digits (nearest the exact
// value, ties to even); the layout depends on p, the number of digits before
// the decimal point:
//   integral and p <= 13   digits, zeros, ".0"        100.0, 1000000000000.0
//   0 < p <= 13            digits with a point         123456.79
//   -5 <= p <= 0           "0.", zeros, digits         0.001, 0.000001
//   otherwise              d[.ddd]e<exponent>          1e13, 1.5e-7, 1e-45
// A set sign bit gives a leading '-', so negative zero is "-0.0".
// NaN and infinities are not numbers in this text; they come out as "nan",
// "inf" or "-inf" and callers that need something else test for them first.
char* write_float_text(char* out, float value) noexcept;

}  // namespace tarnu
