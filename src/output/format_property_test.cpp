// Checks fw.d against a slow reference built from the exact decimal value of
// the binary double, for many random values.
#include "output/format.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "output/exact_fixed.hpp"

namespace vorda {
namespace {

// The exact decimal value of a positive finite double: 0.digits times ten to
// the power `exponent`, digits without leading zeros.
struct ExactDecimal {
  std::string digits;
  int exponent;
};

// A non-negative integer in base 1e9 limbs, lowest first.
class BigInteger {
 public:
  explicit BigInteger(std::uint64_t value) {
    do {
      limbs_.push_back(static_cast<std::uint32_t>(value % kBase));
      value /= kBase;
    } while (value != 0);
  }

  void multiply(std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : limbs_) {
      const std::uint64_t product = std::uint64_t{limb} * factor + carry;
      limb = static_cast<std::uint32_t>(product % kBase);
      carry = product / kBase;
    }
    if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
  }

  std::string decimal() const {
    std::string text = std::to_string(limbs_.back());
    for (auto it = limbs_.rbegin() + 1; it != limbs_.rend(); ++it) {
      const std::string limb = std::to_string(*it);
      text += std::string(9 - limb.size(), '0') + limb;
    }
    return text;
  }

 private:
  static constexpr std::uint64_t kBase = 1000000000;
  std::vector<std::uint32_t> limbs_;
};

ExactDecimal exact_decimal(double magnitude) {
  int binary_exponent = 0;
  const double fraction = std::frexp(magnitude, &binary_exponent);
  // magnitude = mantissa * 2^shift with a 53-bit integer mantissa.
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = binary_exponent - 53;
  BigInteger value(mantissa);
  int power_of_ten = 0;
  if (shift >= 0) {
    for (int i = 0; i < shift; ++i) value.multiply(2);
  } else {
    // m / 2^k = m * 5^k / 10^k
    for (int i = 0; i < -shift; ++i) value.multiply(5);
    power_of_ten = shift;
  }
  const std::string digits = value.decimal();
  return {digits, static_cast<int>(digits.size()) + power_of_ten};
}

// Adds one to a string of decimal digits; may make it one digit longer.
void increment(std::string& digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return;
    }
    *it = '0';
  }
  digits.insert(digits.begin(), '1');
}

// Rounds to 38 significant digits, nearest, ties to even.
ExactDecimal round_to_38(ExactDecimal x) {
  if (x.digits.size() <= 38) return x;
  const std::string rest = x.digits.substr(38);
  const bool tie = rest[0] == '5' && rest.find_first_not_of('0', 1) == std::string::npos;
  const bool up = tie ? (x.digits[37] - '0') % 2 == 1 : rest[0] >= '5';
  x.digits.resize(38);
  if (up) {
    increment(x.digits);
    if (x.digits.size() > 38) {
      x.digits.resize(38);
      ++x.exponent;
    }
  }
  return x;
}

// The 38-digit value of a finite v scaled by 10^d and rounded half up to an
// integer, as decimal digits without leading zeros ("" for zero).
std::string reference_scaled(double v, int d) {
  const double magnitude = std::fabs(v);
  std::string scaled;
  if (magnitude != 0) {
    const ExactDecimal x = round_to_38(exact_decimal(magnitude));
    const int length = static_cast<int>(x.digits.size());
    const int scale = x.exponent - length + d;  // value*10^d = digits * 10^scale
    if (scale >= 0) {
      scaled = x.digits + std::string(static_cast<std::size_t>(scale), '0');
    } else if (-scale < length) {
      scaled = x.digits.substr(0, static_cast<std::size_t>(length + scale));
      if (x.digits[static_cast<std::size_t>(length + scale)] >= '5') increment(scaled);
    } else if (-scale == length && x.digits[0] >= '5') {
      scaled = "1";
    }
    scaled.erase(0, scaled.find_first_not_of('0'));
  }
  return scaled;
}

// The field of fw.d (w = 0 for f0.d), taken from the definition: the
// 38-digit value scaled by 10^d, rounded half up to an integer, split into
// integer and fraction digits, then laid out.
std::string reference_field(double v, int w, int d) {
  const bool negative = std::signbit(v);
  const double magnitude = std::fabs(v);
  std::string scaled = reference_scaled(v, d);
  const auto decimals = static_cast<std::size_t>(d);
  if (scaled.size() < decimals) scaled.insert(0, decimals - scaled.size(), '0');
  const std::string integer_part = scaled.substr(0, scaled.size() - decimals);
  const std::string fraction = scaled.substr(scaled.size() - decimals);
  const std::string sign = negative ? "-" : "";

  std::string field = sign + integer_part + "." + fraction;
  std::size_t width = static_cast<std::size_t>(w);
  if (w == 0) width = magnitude == 0 ? decimals + 2 : field.size();
  if (field.size() > width) return std::string(width, '*');
  if (integer_part.empty() && field.size() < width) field = sign + "0." + fraction;
  return std::string(width - field.size(), ' ') + field;
}

// The double nearest to a decimal text.
double parse(const std::string& text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

TEST(FormatRealProperty, MatchesExactReference) {
  const auto check = [](double v, int w, int d) {
    std::string field;
    render_fixed(field, v, w, d);
    ASSERT_EQ(field, reference_field(v, w, d)) << "value " << std::hexfloat << v << " in f" << w << "." << d;
  };
  // Zeros of either sign and the smallest and largest finite values, in
  // every field.
  for (const double edge : {0.0, std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::min(), std::numeric_limits<double>::max()}) {
    for (int k = 0; k < 2 * 6 * 31; ++k) {
      check(k % 2 ? -edge : edge, k / 12, k / 2 % 6);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

  std::mt19937_64 random(20240611);
  std::uniform_real_distribution<double> log_magnitude(-10.0, 20.0);
  std::uniform_int_distribution<int> decimals(0, 5);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> coin(0, 3);

  for (int i = 0; i < 200000; ++i) {
    const int d = decimals(random);
    double v = 0;
    switch (coin(random)) {
      case 0:
      case 1:
        v = std::pow(10.0, log_magnitude(random));
        break;
      case 2: {
        // A decimal midpoint of the last place, or a neighbour of its
        // nearest double: the double lies just below, just above or on the
        // tie.
        std::string text = std::to_string(random() % 100000000000000 >> (random() % 48));
        text += '.';
        const int zeros = digit(random) % (d + 1);
        for (int k = 0; k < d; ++k) text += k < zeros ? '0' : static_cast<char>('0' + digit(random));
        text += '5';
        v = parse(text);
        if (coin(random) == 0) v = std::nextafter(v, coin(random) < 2 ? 0.0 : 1e30);
        break;
      }
      case 3: {
        // Few digits, as data values tend to have.
        std::string text = std::to_string(digit(random) * 1000 + digit(random) * 10);
        text += "." + std::to_string(digit(random)) + std::to_string(digit(random));
        v = parse(text);
        if (v == 0) v = 1e-10;
        break;
      }
    }
    if (coin(random) < 2) v = -v;
    const int w = coin(random) == 0 ? 0 : 1 + static_cast<int>(random() % 30);

    check(v, w, d);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// How many values the integer-path property checks: a few seconds' worth,
// unless VORDA_PROPERTY_VALUES asks for a long run.
std::uint64_t property_values() {
  const char* text = std::getenv("VORDA_PROPERTY_VALUES");
  return text != nullptr ? std::strtoull(text, nullptr, 10) : 2000000;
}

// A double near a rounding midpoint (k + 1/2) / 10^d of the last place, or on
// it: the nearest double to the midpoint, moved by up to two steps.
double near_midpoint(std::mt19937_64& random, int d) {
  const std::uint64_t k = random() % 1000000000000000000 >> (random() % 60);
  std::string text = std::to_string(k / 1000) + "." + std::to_string(1000 + k % 1000).substr(4 - d, d) + "5";
  double v = parse(text);
  for (int step = static_cast<int>(random() % 5) - 2; step != 0; step += step < 0 ? 1 : -1)
    v = std::nextafter(v, step < 0 ? 0.0 : 1e300);
  return v;
}

// The integer path gives the reference's scaled integer wherever it applies,
// and render_fixed, which takes it, lays out the same field as the 38-digit
// expansion alone.
TEST(FormatRealProperty, IntegerPathMatchesExpansionAndReference) {
  std::mt19937_64 random(20261207);
  std::uniform_int_distribution<int> decimals(0, 4);
  const std::uint64_t count = property_values();
  std::uint64_t exact = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const int d = decimals(random);
    double v = 0;
    switch (random() % 3) {
      case 0:  // any bit pattern from 2^-80 to 2^80
        v = std::ldexp(1.0 + static_cast<double>(random() >> 12) / 0x1p52,
                       static_cast<int>(random() % 161) - 80);
        break;
      case 1:
        v = near_midpoint(random, d);
        break;
      case 2:  // sums of data values, as action measures are
        v = static_cast<double>(random() % 100000000) / 10.0 + static_cast<double>(random() % 1000) / 1000.0;
        break;
    }
    if (const auto n = exact_scaled(v, d)) {
      ++exact;
      const std::string digits = *n == 0 ? "" : std::to_string(*n);
      ASSERT_EQ(digits, reference_scaled(v, d)) << "value " << std::hexfloat << v << " with d = " << d;
    }
    const int w = static_cast<int>(random() % 25);
    if (random() % 2 == 0) v = -v;
    std::string field, expansion;
    render_fixed(field, v, w, d);
    render_fixed_expansion(expansion, v, w, d);
    ASSERT_EQ(field, expansion) << "value " << std::hexfloat << v << " in f" << w << "." << d;
  }
  std::printf("integer path: %llu of %llu values\n", static_cast<unsigned long long>(exact),
              static_cast<unsigned long long>(count));
}

}  // namespace
}  // namespace vorda
