#pragma once

#include <array>
#include <cstdint>

#include "input/lexical.hpp"

namespace vorda {

// The digits of a real number's text as an integer D and a power of ten,
// value = D * 10^scale, converted with correct rounding. Leading zeros are
// dropped. Past kKeep significant digits only whether a dropped digit was
// non-zero is kept: a halfway point between two doubles has fewer than 770
// significant digits, so a 1 standing for the dropped tail rounds the same.
class RealText {
 public:
  void clear() {
    count_ = 0;
    scale_ = 0;
    sticky_ = false;
    small_ = 0;
  }

  void add_integer_digit(int c) {
    if (count_ == 0 && c == '0') return;
    if (count_ < kKeep) {
      keep(c);
    } else {
      ++scale_;
      if (c != '0') sticky_ = true;
    }
  }

  void add_fraction_digit(int c) {
    if (count_ == 0 && c == '0') {
      --scale_;
    } else if (count_ < kKeep) {
      keep(c);
      --scale_;
    } else if (c != '0') {
      sticky_ = true;
    }
  }

  // The nearest double to D * 10^(scale + power), with the given sign; too
  // large gives an infinity, too small a zero.
  double value(bool negative, std::int64_t power);

 private:
  static constexpr int kKeep = 800;
  void keep(int c) {
    digits_[count_++] = static_cast<char>(c);
    if (count_ <= lexical::kExactDigits) small_ = small_ * 10 + static_cast<std::uint64_t>(c - '0');
  }

  // The kept digits, room for the sticky digit, and "e" with an exponent.
  std::array<char, kKeep + 32> digits_;
  int count_ = 0;
  std::int64_t scale_ = 0;
  bool sticky_ = false;
  std::uint64_t small_ = 0;  // D while it has at most lexical::kExactDigits digits
};

}  // namespace vorda
