#include "input/decimal.hpp"

#include <charconv>
#include <limits>
#include <system_error>

namespace vorda {

double RealText::value(bool negative, std::int64_t power) {
  double magnitude = 0.0;
  std::int64_t e = scale_ + power;
  using lexical::kExactArithmetic, lexical::kExactDigits, lexical::kExactPower, lexical::kExactPowers;
  if (kExactArithmetic && count_ <= kExactDigits && e >= -kExactPower && e <= kExactPower) {
    // D and the power of ten are exact doubles: one rounding, the right one.
    magnitude = static_cast<double>(small_);
    magnitude = e < 0 ? magnitude / kExactPowers[-e] : magnitude * kExactPowers[e];
  } else if (count_ > 0) {
    int n = count_;
    if (sticky_) {
      digits_[n++] = '1';
      --e;
    }
    const std::int64_t lead = e + n;  // value = 0.D * 10^lead
    if (lead > 400) {
      magnitude = std::numeric_limits<double>::infinity();
    } else if (lead >= -400) {
      char* text = digits_.data();
      text[n++] = 'e';
      char* last = std::to_chars(text + n, text + digits_.size(), e).ptr;
      if (std::from_chars(text, last, magnitude).ec == std::errc::result_out_of_range)
        magnitude = lead > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace vorda
