#include "output/record_layout.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorda {
namespace {

template <typename... Values>
std::string laid_out(const RecordLayout& layout, const Values&... values) {
  std::string line(layout.width(), ' ');
  layout.render(line.data(), values...);
  return line;
}

// Every value a record field may meet, through the layout and through the
// format it was made from.
TEST(RecordLayout, WritesWhatTheFormatWrites) {
  const Format format("(3x,f11.3,1x,i2,1x,i2,1x,i4,15x,i7,1x,f6.1,f4.0,f5.2,f4.3)");
  const RecordLayout layout(format);
  const double inf = std::numeric_limits<double>::infinity();
  struct Record {
    double a;
    std::int32_t i, j, k, l;
    double b, c, e, g;  // g fills its field without a "0" before the point
  };
  const Record records[] = {
      {12345.0, 1, 12, 2021, 1234567, 5.5, 3.0, 1.25, 0.5},
      {-0.0004, -1, 0, -999, -123456, -0.04, 0.4, -0.005, 0.0005},
      {0.0, 99, -9, 10000, 12345678, -0.0, -0.0, 0.0, 0.9994},
      {9999999.9995, 100, -10, -1000, std::numeric_limits<std::int32_t>::min(), 9999.95, 999.5, 99.995,
       0.9996},
      {1e300, 7, 7, 7, 7, 1e-300, 5e-324, -1e20, -0.25},
      {std::nan(""), 7, 7, 7, 7, inf, -inf, -std::nan(""), 1e-5},
  };
  for (const Record& r : records) {
    std::string expected;
    format.render(expected, {r.a, r.i, r.j, r.k, r.l, r.b, r.c, r.e, r.g});
    EXPECT_EQ(laid_out(layout, r.a, r.i, r.j, r.k, r.l, r.b, r.c, r.e, r.g), expected);
  }
}

TEST(RecordLayout, RefusesWhatHasNoFixedPlace) {
  EXPECT_THROW(RecordLayout(Format("(1x,a4)")), std::invalid_argument);
  EXPECT_THROW(RecordLayout(Format("(i0)")), std::invalid_argument);
  EXPECT_THROW(RecordLayout(Format("(f0.1)")), std::invalid_argument);
  const RecordLayout layout(Format("(i4,f6.1)"));
  EXPECT_THROW(laid_out(layout, 1.0, std::int32_t{1}), std::invalid_argument);
  EXPECT_THROW(laid_out(layout, std::int32_t{1}), std::invalid_argument);
}

}  // namespace
}  // namespace vorda
