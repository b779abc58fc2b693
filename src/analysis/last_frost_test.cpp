#include "analysis/last_frost.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::SeriesBuilder;
using testing::year_records;
using Records = std::vector<testing::YearRecord>;

Records frost(const Series& s, ThresholdType type = ThresholdType::Lower) {
  return year_records(last_frost, s, Threshold{type, 0.0, 3});
}

constexpr double kMild = 1.0;
constexpr double kFrost = -1.0;

TEST(LastFrost, LastFrostDay) {
  struct Case {
    const char* what;
    SeriesBuilder s;
    Records want;
  };
  const Case cases[] = {
      {"two years",
       SeriesBuilder()
           .year(2000, 200, kMild, {{3, kFrost}, {50, kFrost}, {150, kFrost}, {181, kFrost}, {190, kFrost}})
           .year(2001, 10, kMild, {{1, kFrost}, {4, kFrost}}),
       {{2000, 181}, {2001, 4}}},
      {"ordinal 182 is examined, 183 is not",
       SeriesBuilder()
           .year(2000, 190, kMild, {{1, kFrost}, {182, kFrost}, {183, kFrost}})
           .year(2001, 2, kMild),
       {{2000, 182}, {2001, -999}}},
      {"later year without frost",
       SeriesBuilder().year(2000, 5, kFrost).year(2001, 190, kMild, {{185, kFrost}}).year(2002, 2, kMild),
       {{2000, 5}, {2001, -999}, {2002, -999}}},
      {"first year short and without frost",
       SeriesBuilder()
           .year(2000, 100, kMild)
           .year(2001, 100, kMild, {{10, kFrost}, {51, kFrost}})
           .year(2002, 5, kMild, {{2, kFrost}}),
       {{2001, 151}, {2002, 2}}},
      {"last record opens a year",
       SeriesBuilder().year(2000, 10, kMild, {{3, kFrost}}).year(2001, 1, kFrost),
       {{2000, 3}}},
      {"last record not examined",
       SeriesBuilder().year(2000, 10, kMild, {{3, kFrost}, {10, kFrost}}),
       {{2000, 3}}},
      {"value on the threshold is no frost",
       SeriesBuilder().year(2000, 10, kMild, {{3, kFrost}, {6, 0.0}}).year(2001, 1, kMild),
       {{2000, 3}}},
      {"smaller year with frost becomes the year in hand",
       SeriesBuilder()
           .year(2000, 5, kMild, {{1, kFrost}})
           .year(1999, 2, kMild, {{2, kFrost}})
           .year(2001, 2, kMild),
       {{1999, 7}, {2001, -999}}},
      {"one record", SeriesBuilder().year(2000, 1, kFrost), {{-999, -999}}},
      {"no records", SeriesBuilder().year(2000, 10, kFrost).count(0), {}},
      {"negative count", SeriesBuilder().year(2000, 10, kFrost).count(-1), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(frost(c.s), c.want);
  }
}

// Until the first frost no year change is seen, so two years that freeze only
// late in the first and early in the second report nothing but the end.
TEST(LastFrost, NoFrostInTheFirstHalfYearOfTheSeries) {
  SeriesBuilder late;
  late.year(2000, 299, kMild).year(2000, 66, kFrost).year(2001, 34, kFrost).year(2001, 331, kMild);
  EXPECT_EQ(frost(late), (Records{{-999, -999}}));
}

TEST(LastFrost, OnlyForALowerThreshold) {
  const SeriesBuilder s = SeriesBuilder().year(2000, 10, kFrost).year(2001, 2, kFrost);
  EXPECT_TRUE(frost(s, ThresholdType::Upper).empty());
  EXPECT_TRUE(frost(s, ThresholdType::None).empty());
}

}  // namespace
}  // namespace vorda
