#include "output/exact_fixed.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

namespace vorda {

namespace {

constexpr std::uint64_t kPowersOfTen[] = {1,
                                          10,
                                          100,
                                          1000,
                                          10000,
                                          100000,
                                          1000000,
                                          10000000,
                                          100000000,
                                          1000000000,
                                          10000000000,
                                          100000000000,
                                          1000000000000,
                                          10000000000000,
                                          100000000000000,
                                          1000000000000000,
                                          10000000000000000,
                                          100000000000000000,
                                          1000000000000000000,
                                          10000000000000000000u};

// "00" "01" ... "99": two digits per division.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// ".000" ".001" ... ".999": the point and three fraction digits at once.
constexpr std::array<char, 4000> kPointAndThreeDigits = [] {
  std::array<char, 4000> table{};
  for (int i = 0; i < 1000; ++i) {
    const auto at = static_cast<std::size_t>(4 * i);
    table[at] = '.';
    table[at + 1] = static_cast<char>('0' + i / 100);
    table[at + 2] = static_cast<char>('0' + i / 10 % 10);
    table[at + 3] = static_cast<char>('0' + i % 10);
  }
  return table;
}();

}  // namespace

std::size_t decimal_digit_count(std::uint64_t n) {
  // log10(2) is about 1233 / 4096: a guess from the bit length, one off at
  // most, settled by the next power of ten.
  const auto guess = static_cast<std::size_t>(std::bit_width(n)) * 1233 >> 12;
  return guess + (n >= kPowersOfTen[guess] ? 1 : 0);
}

char* write_digits_backward(char* end, std::uint64_t n) {
  // Two digits at a time, in 32 bits once the rest fits: cheaper divisions.
  for (; n > 0xFFFFFFFF; n /= 100) {
    end -= 2;
    std::memcpy(end, &kDigitPairs[static_cast<std::size_t>(n % 100) * 2], 2);
  }
  auto rest = static_cast<std::uint32_t>(n);
  for (; rest >= 10; rest /= 100) {
    end -= 2;
    std::memcpy(end, &kDigitPairs[static_cast<std::size_t>(rest % 100) * 2], 2);
  }
  if (rest != 0) *--end = static_cast<char>('0' + rest);
  return end;
}

std::size_t scaled_field_length(bool negative, std::uint64_t n, int d) {
  assert(d >= 0 && d <= 3);
  const auto decimals = static_cast<std::size_t>(d);
  return (negative ? 1 : 0) + decimal_digit_count(n / kPowersOfTen[decimals]) + 1 + decimals;
}

void write_scaled_field(char* field, std::size_t width, bool negative, std::uint64_t n, int d) {
  assert(d >= 0 && d <= 3);
  // Constant divisors, which compile to multiplications.
  std::uint64_t integer = n;
  std::uint32_t fraction = 0;
  switch (d) {
    case 1:
      integer = n / 10;
      fraction = static_cast<std::uint32_t>(n % 10);
      break;
    case 2:
      integer = n / 100;
      fraction = static_cast<std::uint32_t>(n % 100);
      break;
    case 3:
      integer = n / 1000;
      fraction = static_cast<std::uint32_t>(n % 1000);
      break;
  }
  const auto decimals = static_cast<std::size_t>(d);
  const std::size_t needed = (negative ? 1 : 0) + decimal_digit_count(integer) + 1 + decimals;
  if (needed > width) {
    std::fill_n(field, width, '*');
    return;
  }
  // Right to left: the point and the fraction with its leading zeros, the
  // integer digits or a "0" in a place left, the sign.
  char* p = field + width - (decimals + 1);
  switch (d) {
    case 0:
      *p = '.';
      break;
    case 1:
      p[0] = '.';
      p[1] = static_cast<char>('0' + fraction);
      break;
    case 2:
      p[0] = '.';
      std::memcpy(p + 1, &kDigitPairs[fraction * 2], 2);
      break;
    case 3:
      std::memcpy(p, &kPointAndThreeDigits[fraction * 4], 4);
      break;
  }
  if (integer == 0) {
    if (needed < width) *--p = '0';
  } else {
    p = write_digits_backward(p, integer);
  }
  if (negative) *--p = '-';
}

}  // namespace vorda
