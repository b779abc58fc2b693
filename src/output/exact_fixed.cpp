#include "output/exact_fixed.hpp"

#include <bit>
#include <limits>

namespace vorda {

namespace {

constexpr int kMaxDecimals = 3;
constexpr std::uint64_t kPowersOfTen[kMaxDecimals + 1] = {1, 10, 100, 1000};

}  // namespace

std::optional<std::uint64_t> exact_scaled(double magnitude, int d) {
  static_assert(std::numeric_limits<double>::is_iec559);
  if (d < 0 || d > kMaxDecimals || !(magnitude >= std::numeric_limits<double>::min()) ||
      !(magnitude <= std::numeric_limits<double>::max())) {
    return std::nullopt;
  }
  const auto bits = std::bit_cast<std::uint64_t>(magnitude);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = static_cast<int>(bits >> 52) - 1075;  // magnitude = m * 2^e; the sign bit is 0
  const std::uint64_t product = m * kPowersOfTen[d];  // below 2^53 * 1000 < 2^63
  if (e >= 0) {
    // An integer: exact as long as no bit is shifted out of 64.
    if (e >= 64 || (product >> (63 - e)) >> 1 != 0) return std::nullopt;
    return product << e;
  }
  const int shift = -e;
  if (shift >= 64) return 0;  // below half of the last place: product < 2^63
  return (product >> shift) + ((product >> (shift - 1)) & 1);
}

}  // namespace vorda
