#include "analysis/days.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::SeriesBuilder;
using testing::year_records;
using Records = std::vector<testing::YearRecord>;

Records days(const Series& s, ThresholdType type, double thres) {
  return year_records(count_days, s, Threshold{type, thres, 3});
}

SeriesBuilder two_years() {
  return SeriesBuilder().values(2000, {26.0, 24.0, 27.5}).values(2001, {30.0, 25.0, 26.0});
}

TEST(CountDays, ReportsEachYearAtTheNextGreaterYearAndAtTheLastRecord) {
  struct Case {
    const char* what;
    SeriesBuilder s;
    ThresholdType type;
    Records want;
  };
  const Case cases[] = {
      {"upper", two_years(), ThresholdType::Upper, {{2000, 2}, {2001, 2}}},
      {"lower", two_years(), ThresholdType::Lower, {{2000, 1}, {2001, 0}}},
      {"last record opens a year",
       two_years().values(2002, {28.0}),
       ThresholdType::Upper,
       {{2000, 2}, {2001, 2}}},
      {"one record", SeriesBuilder().values(1999, {30.0}), ThresholdType::Upper, {{1999, 1}}},
      {"years out of order",
       SeriesBuilder()
           .values(2000, {30.0})
           .values(2001, {30.0})
           .values(2000, {30.0})
           .values(2001, {20.0})
           .values(2002, {30.0}),
       ThresholdType::Upper,
       {{2000, 2}, {2001, 1}}},
      {"no records", two_years().count(0), ThresholdType::Upper, {}},
      {"negative count", two_years().count(-999), ThresholdType::Lower, {}},
      {"no type", two_years(), ThresholdType::None, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(days(c.s, c.type, 25.0), c.want);
  }
}

// The count of a year covers the whole store, so the unset slots beyond the
// last record count towards year -999 when their value -999.0 passes.
TEST(CountDays, UnsetSlotsCountForYearMinus999) {
  const SeriesBuilder s = SeriesBuilder().values(-999, {5.0});
  EXPECT_EQ(days(s, ThresholdType::Lower, 0.0), (Records{{-999, NMAX - 1}}));
  EXPECT_EQ(days(s, ThresholdType::Upper, -1000.0), (Records{{-999, NMAX}}));
  EXPECT_EQ(days(s, ThresholdType::Upper, 0.0), (Records{{-999, 1}}));
  EXPECT_EQ(days(SeriesBuilder().values(1999, {5.0}), ThresholdType::Lower, 0.0), (Records{{1999, 0}}));
}

TEST(CountDays, YearsFarApart) {
  const SeriesBuilder s =
      SeriesBuilder().values(-2000000000, {30.0}).values(2000000000, {30.0, 10.0, 40.0}).values(7, {30.0});
  EXPECT_EQ(days(s, ThresholdType::Upper, 25.0), (Records{{-2000000000, 1}, {2000000000, 2}}));
}

}  // namespace
}  // namespace vorda
