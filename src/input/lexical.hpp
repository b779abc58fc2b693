#pragma once

// The lexical rules of the data file and the console that the free-format
// reader (list_reader.hpp, decimal.hpp) and its fast path for plain record
// lines (plain_record.cpp) both apply. The fast path must accept exactly what
// the reader accepts and read it to the same value; holding the rules once
// keeps the two from drifting apart.

#include <cfloat>
#include <cstdint>

namespace vorda::lexical {

// Bytes are passed as unsigned char values, the end of the source as -1.
constexpr bool is_blank(int c) { return c == ' ' || c == '\t'; }
constexpr bool is_comma(int c) { return c == ',' || c == ';'; }
constexpr bool is_line_end(int c) { return c == '\n' || c == '\r'; }
constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// A value ends at a blank, tab, comma, semicolon, slash, line end or the end
// of the source.
constexpr bool ends_value(int c) { return c < 0 || is_blank(c) || is_comma(c) || c == '/' || is_line_end(c); }

// The largest magnitude of an integer value.
inline constexpr std::uint64_t kMaxInteger = 2147483647;

// Integers of up to 15 digits and powers of ten up to 10^22 are exact
// doubles; one multiplication or division of them rounds correctly where
// doubles are computed in double precision.
inline constexpr bool kExactArithmetic = FLT_EVAL_METHOD == 0;
inline constexpr int kExactDigits = 15;
inline constexpr int kExactPower = 22;
inline constexpr double kExactPowers[kExactPower + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace vorda::lexical
