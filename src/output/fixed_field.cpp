#include "output/fixed_field.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <limits>

#include "output/exact_fixed.hpp"

namespace vorda {

namespace {

// The digits of a real's magnitude: magnitude = 0.D1 D2 ... D38 times ten to
// the power `exponent`, digits past the ones known being zero. An exact zero
// has all digits 0 and exponent 0.
constexpr std::size_t kSignificantDigits = 38;

struct DecimalDigits {
  std::array<char, kSignificantDigits> digits;
  int exponent;
};

// Reads the scientific form of std::to_chars ("D.DDDe+XX", or "De+XX" for a
// single digit) and returns how many digits it holds.
std::size_t read_scientific(const char* first, const char* end, DecimalDigits& result) {
  // The exponent has a sign and two or three digits.
  const char* e = end[-4] == 'e' ? end - 4 : end - 5;
  result.digits.fill('0');
  result.digits[0] = first[0];
  std::size_t count = 1;
  if (e != first + 1) {  // "D.DDD"
    std::copy(first + 2, e, result.digits.begin() + 1);
    count = static_cast<std::size_t>(e - first - 1);
  }
  int exponent = 0;
  for (const char* p = e + 2; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  result.exponent = (e[1] == '-' ? -exponent : exponent) + 1;
  return count;
}

// Whether the shortest round-trip digits S of a normal double X give the same
// field with `decimals` fraction digits as X's 38-digit expansion. Rounding
// half up at the last place only jumps at the midpoints M between two
// neighbouring results; S, X and the 38-digit expansion all lie in the
// interval of reals that read back as X, so the results agree whenever no
// such M lies in that interval. With E the exponent, M has at most
// E + decimals + 1 significant digits, and it stays out of the interval
//  - when S has more digits than that: a number with fewer digits in the
//    interval would have been the shortest form;
//  - when S has no more digits than that, is not M itself, and M has at most
//    15 digits: S and M then differ by at least 1e-15 * 10^E, more than the
//    interval's width of at most 2.3e-16 * 10^E.
// When even the first digit lies past the last place, every field is zero.
bool shortest_digits_suffice(const DecimalDigits& shortest, std::size_t count, int decimals) {
  const long last_place = static_cast<long>(shortest.exponent) + decimals;
  if (last_place < 0) return true;
  const auto midpoint_digits = static_cast<std::size_t>(last_place) + 1;
  if (count > midpoint_digits) return true;
  if (midpoint_digits > 15) return false;
  return count < midpoint_digits || shortest.digits[count - 1] != '5';
}

// The digits of `magnitude` for a field with `decimals` fraction digits: the
// 38-digit expansion, or the shortest form where that yields the same field
// (it is twice as fast to produce).
DecimalDigits decimal_digits(double magnitude, int decimals) {
  DecimalDigits result;
  if (magnitude == 0) {
    result.digits.fill('0');
    result.exponent = 0;
    return result;
  }
  char buffer[64];
  if (magnitude >= std::numeric_limits<double>::min()) {
    const auto end =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific).ptr;
    const std::size_t count = read_scientific(buffer, end, result);
    if (shortest_digits_suffice(result, count, decimals)) return result;
  }
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific,
                                 kSignificantDigits - 1)
                       .ptr;
  read_scientific(buffer, end, result);
  return result;
}

// Writes the digits of a field left to right, with the point after the
// integer digits (first, when there are none).
class DigitWriter {
 public:
  DigitWriter(char* p, std::size_t integer_digits) : p_(p), before_point_(integer_digits) {
    if (before_point_ == 0) *p_++ = '.';
  }

  void put(const char* digits, std::size_t count) {
    if (before_point_ > 0) {
      const std::size_t n = std::min(count, before_point_);
      p_ = std::copy_n(digits, n, p_);
      digits += n;
      count -= n;
      if ((before_point_ -= n) == 0) *p_++ = '.';
    }
    p_ = std::copy_n(digits, count, p_);
  }

  void put_zeros(std::size_t count) {
    if (before_point_ > 0) {
      const std::size_t n = std::min(count, before_point_);
      p_ = std::fill_n(p_, n, '0');
      count -= n;
      if ((before_point_ -= n) == 0) *p_++ = '.';
    }
    p_ = std::fill_n(p_, count, '0');
  }

 private:
  char* p_;
  std::size_t before_point_;
};

void append_not_finite(std::string& out, std::size_t blanks, double v, int w) {
  const std::size_t width = w == 0 ? 4 : static_cast<std::size_t>(w);
  char* p = grow(out, blanks + width) + blanks;
  char* const end = p + width;
  if (width < 3) {
    std::fill_n(p, width, '*');
    return;
  }
  if (std::isnan(v)) {
    std::copy_n("NaN", 3, end - 3);
    return;
  }
  const std::string_view word = width > 8 ? "Infinity" : "Inf";
  std::copy(word.begin(), word.end(), end - word.size());
  if (width > word.size()) {
    end[-1 - static_cast<std::ptrdiff_t>(word.size())] = v < 0 ? '-' : '+';
  } else if (v < 0) {
    // No room for the sign: a positive infinity goes without, a negative
    // one cannot be shown.
    std::fill_n(p, width, '*');
  }
}

// The digits of a field with `decimals` fraction digits, rounded half away
// from zero at the last place: `integer_digits` before the point; after it,
// `inserted_zeros` zeros, then (when the carry left the digit string) a 1,
// then the first `significant` digits of `decimal`, then zeros up to `taken`
// positions in all.
struct FieldDigits {
  DecimalDigits decimal;
  std::size_t integer_digits;
  std::size_t inserted_zeros;
  std::size_t taken;
  std::size_t significant;
  bool leading_one;
};

FieldDigits round_digits(double magnitude, std::size_t decimals) {
  FieldDigits f{};
  f.decimal = decimal_digits(magnitude, static_cast<int>(decimals));
  const long exponent = f.decimal.exponent;

  // Kept positions: the integer digits and `decimals` fraction digits. Below
  // one, the fraction starts with zeros that are not in the digit string.
  f.integer_digits = exponent > 0 ? static_cast<std::size_t>(exponent) : 0;
  f.inserted_zeros = exponent > 0 ? 0 : std::min(decimals, static_cast<std::size_t>(-exponent));
  f.taken = f.integer_digits + decimals - f.inserted_zeros;
  f.significant = std::min(f.taken, kSignificantDigits);

  // Round half away from zero on the first dropped digit. That digit is an
  // inserted zero when even D1 lies past it, and nothing past the 38th
  // digit is used: those positions are zero.
  const bool beyond_last_place = exponent <= 0 && static_cast<std::size_t>(-exponent) > decimals;
  const bool round_up =
      !beyond_last_place && f.taken < kSignificantDigits && f.decimal.digits[f.taken] >= '5';
  if (round_up) {
    std::size_t i = f.significant;
    while (i > 0 && f.decimal.digits[i - 1] == '9') f.decimal.digits[--i] = '0';
    if (i > 0) {
      ++f.decimal.digits[i - 1];
    } else {
      // The carry leaves the digit string: it lands on the last inserted
      // zero, or creates a new leading integer digit.
      f.leading_one = true;
      if (f.inserted_zeros > 0) {
        --f.inserted_zeros;
      } else {
        ++f.integer_digits;
      }
    }
  }
  return f;
}

// Lays out the rounded digits in a field of width `w` (0: as narrow as the
// value allows, "0.000" style for a zero).
void lay_out_field(std::string& out, std::size_t blanks, bool negative, bool zero, const FieldDigits& f,
                   int w, std::size_t decimals) {
  const std::size_t needed = (negative ? 1 : 0) + f.integer_digits + 1 + decimals;
  std::size_t width = static_cast<std::size_t>(w);
  if (w == 0) width = zero ? decimals + 2 : needed;
  char* p = grow(out, blanks + width) + blanks;
  if (needed > width) {
    std::fill_n(p, width, '*');
    return;
  }
  std::size_t field_blanks = width - needed;
  // A "0" before the point takes the place of a blank, if one is left.
  const bool zero_before_point = f.integer_digits == 0 && field_blanks > 0;
  if (zero_before_point) --field_blanks;
  p += field_blanks;
  if (negative) *p++ = '-';
  if (zero_before_point) *p++ = '0';

  DigitWriter writer(p, f.integer_digits);
  writer.put_zeros(f.inserted_zeros);
  if (f.leading_one) writer.put("1", 1);
  writer.put(f.decimal.digits.data(), f.significant);
  writer.put_zeros(f.taken - f.significant);
}

}  // namespace

void append_fixed(std::string& out, std::size_t blanks, double v, int w, int d, bool integer_path) {
  assert(w >= 0 && d >= 0);
  if (!std::isfinite(v)) {
    append_not_finite(out, blanks, v, w);
    return;
  }
  const double magnitude = std::fabs(v);
  if (const auto scaled = integer_path ? exact_scaled(magnitude, d) : std::nullopt) {
    const bool negative = std::signbit(v);
    const std::size_t width =
        w == 0 ? scaled_field_length(negative, *scaled, d) : static_cast<std::size_t>(w);
    write_scaled_field(grow(out, blanks + width) + blanks, width, negative, *scaled, d);
    return;
  }
  const auto decimals = static_cast<std::size_t>(d);
  lay_out_field(out, blanks, std::signbit(v), magnitude == 0, round_digits(magnitude, decimals), w, decimals);
}

}  // namespace vorda
