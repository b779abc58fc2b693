#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace vorda {

// The integer path of an fw.d field: N, the magnitude times 10^d rounded half
// away from zero at its first dropped bit, computed exactly in 64 bits.
//
// A normal double is m * 2^e with a 53-bit integer m, so magnitude * 10^d is
// the exact product m * 10^d * 2^e. The field rounds the 38-significant-digit
// expansion of the magnitude instead; the two roundings agree when N has at
// most 37 digits and d is at most 21: a midpoint (k + 1/2) / 10^d then has at
// most 38 digits, and a double that is not on it lies further from it than
// half a unit in the 38th digit, so the expansion falls on the same side.
//
// Returns nothing where the path does not apply, and the caller takes the
// general path: zero, subnormal and non-finite magnitudes, d above 3 (where
// m * 10^d may pass 64 bits) and N at or above 2^64.
inline std::optional<std::uint64_t> exact_scaled(double magnitude, int d) {
  static_assert(std::numeric_limits<double>::is_iec559);
  static constexpr std::uint64_t kScales[] = {1, 10, 100, 1000};
  if (d < 0 || d > 3 || !(magnitude >= std::numeric_limits<double>::min()) ||
      !(magnitude <= std::numeric_limits<double>::max())) {
    return std::nullopt;
  }
  const auto bits = std::bit_cast<std::uint64_t>(magnitude);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = static_cast<int>(bits >> 52) - 1075;  // magnitude = m * 2^e; the sign bit is 0
  const std::uint64_t product = m * kScales[d];       // below 2^53 * 1000 < 2^63
  if (e >= 0) {
    // An integer: exact as long as no bit is shifted out of 64.
    if (e >= 64 || (product >> (63 - e)) >> 1 != 0) return std::nullopt;
    return product << e;
  }
  const int shift = -e;
  if (shift >= 64) return 0;  // below half of the last place: product < 2^63
  return (product >> shift) + ((product >> (shift - 1)) & 1);
}

// The length of the field of N at d decimals (d at most 3) shown in full: the
// sign, the integer digits, the point and d fraction digits (no "0" before
// the point).
std::size_t scaled_field_length(bool negative, std::uint64_t n, int d);

// Writes the fw.d field (d at most 3) of a value whose scaled magnitude is N
// into the `width` bytes at `field`, right-aligned, with a "0" before the
// point where there are no integer digits and a place is left; all stars
// when the value does not fit. The bytes before the field's text are left as
// they are (blanks in a record line).
void write_scaled_field(char* field, std::size_t width, bool negative, std::uint64_t n, int d);

// The number of decimal digits of n, none for 0.
std::size_t decimal_digit_count(std::uint64_t n);

// Writes the decimal digits of n (none for 0) so that they end at `end`;
// returns where they start.
char* write_digits_backward(char* end, std::uint64_t n);

}  // namespace vorda
