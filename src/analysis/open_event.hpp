#pragma once

#include <cstdint>
#include <limits>

namespace vorda {

static_assert(std::numeric_limits<long double>::digits == 64,
              "event midpoints and action measures need the 64-bit significand of extended precision");

// The running quantities of an open event. Their updates are evaluated in
// extended precision and rounded to double when stored, so that the written
// midpoints and action measures agree to the last bit with earlier result
// files.
//
// While every counter of the event is one more than the one before, the
// running mean is first + (dur - 1) / 2 exactly, and so is each extended
// update: (dur - 1) * mid and the sum with t are integers or halves below
// 2^49 (32-bit counters, at most NMAX < 2^17 records), exact in the 64-bit
// significand, and the quotient by dur is that exact mean. The mean is then
// taken without the division.
struct OpenEvent {
  std::int32_t dur = 0;
  double mid = 0;            // running mean of the counters
  double a = 0;              // sum of x - thres
  std::int32_t first = 0;    // the first counter
  std::int32_t last = 0;     // the latest counter
  bool consecutive = false;  // every counter one more than the one before

  void extend(std::int32_t t, double x, double thres) {
    ++dur;
    consecutive = dur == 1 || (consecutive && std::int64_t{t} - last == 1);
    if (dur == 1) first = t;
    last = t;
    if (consecutive) {
      mid = first + (dur - 1) * 0.5;
    } else {
      mid = static_cast<double>(
          (static_cast<long double>(t) + static_cast<long double>(dur - 1) * static_cast<long double>(mid)) /
          static_cast<long double>(dur));
    }
    a = static_cast<double>((static_cast<long double>(a) + static_cast<long double>(x)) -
                            static_cast<long double>(thres));
  }
};

// The time whose nearest record dates an event: the midpoint rounded to a whole
// counter, halves away from zero. A mean of 32-bit counters is far inside 64
// bits, and its fraction after the integer part is exact.
inline std::int64_t rounded_midpoint(double mid) {
  const auto whole = static_cast<std::int64_t>(mid);  // toward zero
  const double fraction = mid - static_cast<double>(whole);
  return whole + (fraction >= 0.5 ? 1 : 0) - (fraction <= -0.5 ? 1 : 0);
}

}  // namespace vorda
