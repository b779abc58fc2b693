#include "analysis/spells.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::SeriesBuilder;
using testing::year_records;
using Records = std::vector<testing::YearRecord>;

Records spells(const Series& s, ThresholdType type, double thres, std::int32_t durmin) {
  return year_records(spell_durations, s, Threshold{type, thres, durmin});
}

SeriesBuilder warm_2000() {
  return SeriesBuilder().values(2000, {26, 27, 28, 20, 26, 26, 20, 26, 27, 28, 29, 20});
}

TEST(SpellDurations, WarmSpells) {
  struct Case {
    const char* what;
    SeriesBuilder s;
    std::int32_t durmin;
    Records want;
  };
  const Case cases[] = {
      {"two years", warm_2000().values(2001, {30, 30, 30, 30, 20, 30}), 3, {{2000, 7}, {2001, 4}}},
      {"last record opens a year", warm_2000().values(2001, {30}), 3, {{2000, 7}, {2000, 0}}},
      {"runs are cut at the year change",
       SeriesBuilder().values(2000, {20, 20, 30, 30, 30}).values(2001, {30, 30, 20, 20, 20}),
       3,
       {{2000, 3}, {2001, 0}}},
      {"years out of order",
       SeriesBuilder()
           .values(2000, {30, 30, 30})
           .values(2001, {30, 30, 30})
           .values(2000, {30, 30})
           .values(2001, {30, 30}),
       1,
       {{2000, 3}, {2000, 5}, {2001, 1}}},
      {"value on the threshold ends a run",
       SeriesBuilder().values(2000, {26, 26, 25, 26, 26, 20}),
       3,
       {{2000, 0}}},
      {"durmin 0 counts every passing record", warm_2000().values(2001, {1}), 0, {{2000, 9}, {2000, 0}}},
      {"negative durmin",
       warm_2000().values(2001, {1}),
       std::numeric_limits<std::int32_t>::min(),
       {{2000, 9}, {2000, 0}}},
      {"durmin longer than every run",
       warm_2000().values(2001, {30, 30, 30, 30, 20, 30}),
       5,
       {{2000, 0}, {2001, 0}}},
      {"last record not examined", SeriesBuilder().values(2000, {30, 30, 30}), 1, {{2000, 2}}},
      {"one record", SeriesBuilder().values(2000, {30}), 1, {{-999, 0}}},
      {"no records", warm_2000().count(0), 3, {}},
      {"negative count", warm_2000().count(-5), 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(spells(c.s, ThresholdType::Upper, 25.0, c.durmin), c.want);
  }
}

TEST(SpellDurations, ColdSpells) {
  const SeriesBuilder s =
      SeriesBuilder().values(2000, {-1, -2, 3, -1, -1, 2}).values(2001, {-5, -5, -5, 1, 1});
  EXPECT_EQ(spells(s, ThresholdType::Lower, 0.0, 2), (Records{{2000, 4}, {2001, 3}}));

  const SeriesBuilder on_threshold = SeriesBuilder().values(2000, {-1, -1, 0, -1, -1, 5});
  EXPECT_EQ(spells(on_threshold, ThresholdType::Lower, 0.0, 3), (Records{{2000, 0}}));
}

TEST(SpellDurations, NoTypeWritesNothing) {
  EXPECT_TRUE(spells(warm_2000(), ThresholdType::None, 25.0, 3).empty());
}

}  // namespace
}  // namespace vorda
