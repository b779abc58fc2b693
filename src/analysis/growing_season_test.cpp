#include "analysis/growing_season.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::SeriesBuilder;
using testing::year_records;
using Records = std::vector<testing::YearRecord>;

Records season(const Series& s, std::int32_t durmin, ThresholdType type = ThresholdType::Upper) {
  return year_records(growing_season, s, Threshold{type, 5.0, durmin});
}

constexpr double kWarm = 6.0;
constexpr double kCold = 4.0;

TEST(GrowingSeason, StartOfTheSeason) {
  SeriesBuilder example_2000;
  example_2000.year(2000, 5, kWarm).year(2000, 14, kCold).year(2000, 21, kWarm);

  struct Case {
    const char* what;
    SeriesBuilder s;
    std::int32_t durmin;
    Records want;
  };
  const Case cases[] = {
      {"run reaching its length before ordinal 32",
       SeriesBuilder(example_2000).year(2001, 35, kCold),
       6,
       {{2000, 32}, {2001, 0}}},
      {"start at the run's durmin-th record, last record opens a year",
       SeriesBuilder().year(2000, 39, kCold).year(2000, 11, kWarm).year(2001, 1, kCold),
       6,
       {{2000, 45}, {2000, 0}}},
      {"every record passing",
       SeriesBuilder().year(2000, 60, kWarm).year(2001, 2, kWarm),
       6,
       {{2000, 32}, {2001, 0}}},
      {"qualifying run over before ordinal 32",
       SeriesBuilder().year(2000, 40, kCold, {{20, kWarm}, {21, kWarm}, {22, kWarm}}).year(2001, 2, kCold),
       3,
       {{2000, 0}, {2001, 0}}},
      {"ordinal 31 is too early",
       SeriesBuilder().year(2000, 40, kCold, {{31, kWarm}}).year(2001, 1, kCold),
       1,
       {{2000, 0}, {2000, 0}}},
      {"ordinal 32 is the earliest start",
       SeriesBuilder().year(2000, 40, kCold, {{31, kWarm}, {32, kWarm}}).year(2001, 1, kCold),
       1,
       {{2000, 32}, {2000, 0}}},
      {"only the first start counts",
       SeriesBuilder().year(2000, 60, kWarm, {{40, kCold}, {50, kCold}}).year(2001, 1, kCold),
       1,
       {{2000, 32}, {2000, 0}}},
      {"durmin 0: first passing record from ordinal 32 on",
       SeriesBuilder().year(2000, 40, kCold, {{10, kWarm}, {35, kWarm}}).year(2001, 1, kCold),
       0,
       {{2000, 35}, {2000, 0}}},
      {"value on the threshold ends a run",
       SeriesBuilder()
           .year(2000, 29, kCold)
           .year(2000, 4, kWarm)
           .year(2000, 1, 5.0)
           .year(2000, 5, kWarm)
           .year(2000, 6, kCold)
           .year(2001, 1, kCold),
       5,
       {{2000, 39}, {2000, 0}}},
      {"smaller year becomes the year in hand",
       SeriesBuilder().year(2000, 40, kWarm).year(1999, 3, kCold).year(2001, 2, kCold),
       1,
       {{1999, 32}, {2001, 0}}},
      {"last record not examined", SeriesBuilder().year(2000, 32, kCold, {{32, kWarm}}), 1, {{2000, 0}}},
      {"one record", SeriesBuilder().year(2000, 1, kWarm), 1, {{-999, 0}}},
      {"no records", SeriesBuilder(example_2000).count(0), 6, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(season(c.s, c.durmin), c.want);
  }
}

TEST(GrowingSeason, OnlyForAnUpperThreshold) {
  const SeriesBuilder s = SeriesBuilder().year(2000, 60, kWarm).year(2001, 2, kWarm);
  EXPECT_TRUE(season(s, 1, ThresholdType::Lower).empty());
  EXPECT_TRUE(season(s, 1, ThresholdType::None).empty());
}

}  // namespace
}  // namespace vorda
