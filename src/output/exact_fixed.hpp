#pragma once

#include <cstdint>
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
std::optional<std::uint64_t> exact_scaled(double magnitude, int d);

}  // namespace vorda
