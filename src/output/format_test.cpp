#include "output/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorda {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSmallestSubnormal = std::numeric_limits<double>::denorm_min();

std::string fixed(double v, int w, int d) {
  std::string out;
  render_fixed(out, v, w, d);
  return out;
}

std::string integer(std::int32_t v, int w) {
  std::string out;
  render_integer(out, v, w);
  return out;
}

struct RealRow {
  double value;
  int w;
  int d;
  const char* field;
};

TEST(FormatReal, FixedWidths) {
  const RealRow rows[] = {
      {0.0005, 11, 3, "      0.001"},
      {-0.0004, 11, 3, "     -0.000"},
      {0.0, 11, 3, "      0.000"},
      {-0.0, 11, 3, "     -0.000"},
      {1.0005, 11, 3, "      1.000"},  // stored below 1.0005
      {2.0005, 11, 3, "      2.001"},  // stored above 2.0005
      {0.0625, 11, 3, "      0.063"},  // exact tie
      {-0.0625, 11, 3, "     -0.063"},
      {0.0995, 11, 3, "      0.100"},
      {36524.5, 11, 3, "  36524.500"},
      {1234567.891, 11, 3, "1234567.891"},
      {12345678.9, 11, 3, "***********"},
      {999999.9996, 11, 3, "1000000.000"},
      {9999999.9996, 11, 3, "***********"},
      {-123456789.0, 14, 3, "-123456789.000"},
      {123456789012.0, 14, 3, "**************"},
      {kInf, 11, 3, "  +Infinity"},
      {kNaN, 11, 3, "        NaN"},
      // Carries: into the inserted zeros, into a new integer digit.
      {0.0996, 11, 3, "      0.100"},
      {0.9996, 11, 3, "      1.000"},
      {-9.9996, 11, 3, "    -10.000"},
      {0.0004999, 11, 3, "      0.000"},
      {0.00005, 11, 3, "      0.000"},
      {-0.0005, 11, 3, "     -0.001"},
      {5e-6, 11, 5, "    0.00001"},  // stored above the tie
      {5e-7, 11, 6, "   0.000000"},  // stored below the tie
      // Beyond 17 significant digits.
      {1.0e30, 14, 3, "**************"},
      {1.0e9, 14, 3, "1000000000.000"},
      {1.0e10, 14, 3, "**************"},
      {kSmallestSubnormal, 11, 3, "      0.000"},
      {-kSmallestSubnormal, 11, 3, "     -0.000"},
      {-std::numeric_limits<double>::min(), 11, 3, "     -0.000"},
      // Widths at their limit: the "0" before the point only takes a blank.
      {0.5, 3, 1, "0.5"},
      {0.5, 2, 1, ".5"},
      {0.5, 1, 1, "*"},
      {-0.5, 4, 1, "-0.5"},
      {-0.5, 3, 1, "-.5"},
      {-0.5, 2, 1, "**"},
      {99999.9996, 10, 3, "100000.000"},
      {99999.9996, 9, 3, "*********"},
      {-99999.9996, 11, 3, "-100000.000"},
      {-99999.9996, 10, 3, "**********"},
      // No fraction digits.
      {2.5, 3, 0, " 3."},
      {0.4, 3, 0, " 0."},
      {0.4, 1, 0, "."},
      // Non-finite values in narrow fields.
      {kNaN, 3, 1, "NaN"},
      {kNaN, 2, 1, "**"},
      {kInf, 3, 1, "Inf"},
      {-kInf, 3, 1, "***"},
      {kInf, 4, 1, "+Inf"},
      {-kInf, 8, 1, "    -Inf"},
      {-kInf, 9, 1, "-Infinity"},
      {kInf, 14, 3, "     +Infinity"},
  };
  for (const RealRow& row : rows) {
    EXPECT_EQ(fixed(row.value, row.w, row.d), row.field)
        << "value " << row.value << " in f" << row.w << "." << row.d;
  }
}

TEST(FormatReal, MinimalWidths) {
  const RealRow rows[] = {
      {0.5, 0, 1, ".5"},
      {0.04, 0, 1, ".0"},
      {-0.04, 0, 1, "-.0"},
      {0.05, 0, 1, ".1"},
      {0.25, 0, 1, ".3"},  // exact tie
      {0.35, 0, 1, ".3"},  // stored below 0.35
      {0.0, 0, 1, "0.0"},
      {-0.0, 0, 1, "-.0"},
      {25.0, 0, 1, "25.0"},
      {-2.5, 0, 1, "-2.5"},
      {9.96, 0, 1, "10.0"},
      {-999.0, 0, 1, "-999.0"},
      {0.95, 0, 1, ".9"},  // stored below 0.95
      {1.0e30, 0, 1, "1000000000000000019884624838656.0"},
      {kNaN, 0, 1, " NaN"},
      {-kInf, 0, 1, "-Inf"},
      {kInf, 0, 1, "+Inf"},
      {0.0, 0, 3, "0.000"},
      {-0.0, 0, 3, "-.000"},
      {0.96, 0, 1, "1.0"},
      {kSmallestSubnormal, 0, 1, ".0"},
      // Past the 38th significant digit every position is 0: 2^127 has 39
      // digits and rounds up in the 38th; 0.1 keeps 38 digits of its binary
      // value (its 39th digit would round the 40th place differently).
      {std::ldexp(1.0, 127), 0, 1, "170141183460469231731687303715884105730.0"},
      {0.1, 0, 40, ".1000000000000000055511151231257827021200"},
      {0.1, 0, 38, ".10000000000000000555111512312578270212"},
      {0.1, 0, 37, ".1000000000000000055511151231257827021"},
  };
  for (const RealRow& row : rows) {
    EXPECT_EQ(fixed(row.value, row.w, row.d), row.field)
        << "value " << row.value << " in f" << row.w << "." << row.d;
  }
}

TEST(FormatReal, LargestMagnitudeUnderMinimalWidth) {
  const std::string field = fixed(-std::numeric_limits<double>::max(), 0, 1);
  // -1.797...e308: 38 digits of the expansion, zeros for the other 271.
  EXPECT_EQ(field, "-17976931348623157081452742373170435680" + std::string(271, '0') + ".0");
}

TEST(FormatInteger, Fields) {
  struct Row {
    std::int32_t value;
    int w;
    const char* field;
  };
  const Row rows[] = {
      {123, 2, "**"},
      {7, 2, " 7"},
      {-12, 2, "**"},
      {45, 3, " 45"},
      {0, 3, "  0"},
      {-999, 3, "***"},
      {-999, 4, "-999"},
      {100000, 7, " 100000"},
      {-3, 0, "-3"},
      {0, 0, "0"},
      {-2147483648, 0, "-2147483648"},
      {2147483647, 0, "2147483647"},
      {-2147483648, 11, "-2147483648"},
      {-2147483648, 10, "**********"},
      {-2147483648, 12, " -2147483648"},
      {-5, 2, "-5"},
      {-5, 1, "*"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(integer(row.value, row.w), row.field) << row.value << " in i" << row.w;
  }
}

TEST(FormatRecord, Records) {
  struct Row {
    const char* format;
    std::vector<Arg> args;
    const char* record;
  };
  const Row rows[] = {
      {"(1x,i4,1x,i3)", {1990, 12}, " 1990  12"},
      {"(a,i7,a)", {" Input data size (maximum: ", 100000, "):"}, " Input data size (maximum:  100000):"},
      {"(3x,f11.3,1x,i2,1x,i2,1x,i4,15x,i7,1x,f14.3)",
       {36524.5, 31, 12, 1999, 14, -123.4567},
       "     36524.500 31 12 1999                    14       -123.457"},
      {"(1x,f11.3,1x,f14.3)", {36524.5, 0.0625}, "   36524.500          0.063"},
      {"(a,f0.1)", {" Threshold: ", 25.0}, " Threshold: 25.0"},
      {"(a,i0)", {" Minimum duration: ", 3}, " Minimum duration: 3"},
      {"(a,a)", {" Input file: ", "series.txt  "}, " Input file: series.txt  "},
      {"(3(a))", {"  time", "  date", "  dur"}, "  time  date  dur"},
      {"(2(a))", {" year", "  n"}, " year  n"},
      {"(f0.1)", {-2.5}, "-2.5"},
      {"(i0)", {10}, "10"},
      {"(A5,A2)", {"ab", "abcdef"}, "   abab"},
      {"(3X,F6.2,2I3)", {1.005, 1, -1}, "     1.00  1 -1"},
      {"(1x,2(i2,1x),a)", {1, 2, "z"}, "  1  2 z"},
      {"(2x,i2,3x)", {7}, "   7"},     // a trailing nx writes nothing
      {"(i2,3x,i2,a)", {7}, " 7"},     // the walk stops at the next value
      {"(2x,a)", {}, ""},              // no value: an empty record
      {"(2x,3x,a)", {"v"}, "     v"},  // blanks accumulate
      {"(2(1x,i1),4x)", {1, 2}, " 1 2"},
  };
  for (const Row& row : rows) {
    std::string out;
    Format::parse(row.format).render(out, row.args);
    EXPECT_EQ(out, row.record) << row.format;
  }
}

TEST(FormatRecord, AppendsToWhatTheStringHolds) {
  std::string out = "ab";
  Format("(1x,i2)").render(out, {5});
  EXPECT_EQ(out, "ab  5");
}

TEST(FormatRecord, MalformedTextsAreRejected) {
  const char* texts[] = {
      "",      "a",      "(a",    "(a))",    "(a)x",       "(a) ",  "(2(3(a)))",
      "(0x)",  "(x)",    "(i)",   "(f11)",   "(f11.)",     "(f.3)", "(q)",
      "(a0)",  "(0(a))", "(a,)",  "(,a)",    "()",         "(3())", "(1234567890x)",
      "(i2 )", "(0i2)",  "(2(a)", "(a),(a)", "(2(a)3(a))",
  };
  for (const char* text : texts) {
    EXPECT_THROW(Format::parse(text), std::invalid_argument) << '"' << text << '"';
  }
}

TEST(FormatRecord, ValuesThatDoNotMatchTheFormatAreRejected) {
  std::string out;
  EXPECT_THROW(Format("(i2)").render(out, {1.5}), std::invalid_argument);
  EXPECT_THROW(Format("(f5.1)").render(out, {1}), std::invalid_argument);
  EXPECT_THROW(Format("(a)").render(out, {1}), std::invalid_argument);
  EXPECT_THROW(Format("(i2,1x)").render(out, {1, 2}), std::invalid_argument);
}

TEST(FormatListItem, BlankThenTextAsStored) {
  std::string out;
  render_list_item(out, " Title  ");
  EXPECT_EQ(out, "  Title  ");
  out.clear();
  render_list_item(out, "");
  EXPECT_EQ(out, " ");
}

}  // namespace
}  // namespace vorda
