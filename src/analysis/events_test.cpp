#include "analysis/events.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::EventRecords;
using testing::SeriesBuilder;

// mid, d, m, yr, dur, a
using Fields = std::tuple<double, std::int32_t, std::int32_t, std::int32_t, std::int32_t, double>;

std::vector<Fields> events(const Series& s, ThresholdType type, double thres, std::int32_t durmin) {
  EventRecords out;
  scan_events(s, Threshold{type, thres, durmin}, out);
  std::vector<Fields> fields;
  for (const Event& e : out.events) fields.emplace_back(e.mid, e.d, e.m, e.yr, e.dur, e.a);
  return fields;
}

// Ten January days of 1990.
SeriesBuilder january() {
  SeriesBuilder b;
  const double xs[] = {18, 21, 22, 23, 19, 25, 26, 18, 30, 31};
  for (std::int32_t day = 1; day <= 10; ++day) b.row(day, day, 1, 1990, xs[day - 1]);
  return b;
}

TEST(ScanEvents, JanuaryExample) {
  const SeriesBuilder s = january();
  struct Case {
    ThresholdType type;
    std::int32_t durmin;
    std::vector<Fields> want;
  };
  const Case cases[] = {
      {ThresholdType::Upper,
       2,
       {{3.0, 3, 1, 1990, 3, 6.0}, {6.5, 7, 1, 1990, 2, 11.0}, {9.5, 10, 1, 1990, 2, 21.0}}},
      {ThresholdType::Upper, 3, {{3.0, 3, 1, 1990, 3, 6.0}}},
      {ThresholdType::Lower,
       1,
       {{1.0, 1, 1, 1990, 1, -2.0}, {5.0, 5, 1, 1990, 1, -1.0}, {8.0, 8, 1, 1990, 1, -2.0}}},
      {ThresholdType::Lower, 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << type_name(c.type) << " durmin " << c.durmin);
    EXPECT_EQ(events(s, c.type, 20.0, c.durmin), c.want);
  }
}

TEST(ScanEvents, NoRecordsOrNoTypeWriteNothing) {
  EXPECT_TRUE(events(january().count(0), ThresholdType::Upper, 20.0, 1).empty());
  EXPECT_TRUE(events(january().count(-999), ThresholdType::Upper, 20.0, 1).empty());
  EXPECT_TRUE(events(january(), ThresholdType::None, 20.0, 1).empty());
}

TEST(ScanEvents, ValueOnTheThresholdOrNotANumberEndsARun) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const SeriesBuilder s = SeriesBuilder().values(2000, {21, 20, 22, 23, nan, 24, 20});
  const std::vector<Fields> want = {
      {1.0, 1, 1, 2000, 1, 1.0}, {3.5, 1, 1, 2000, 2, 5.0}, {6.0, 1, 1, 2000, 1, 4.0}};
  EXPECT_EQ(events(s, ThresholdType::Upper, 20.0, 1), want);
  EXPECT_TRUE(events(s, ThresholdType::Lower, 20.0, 1).empty());
}

TEST(ScanEvents, RunReachingTheLastRecordIsWrittenOnceOrDropped) {
  const SeriesBuilder s = SeriesBuilder().values(2000, {10, 30, 31, 32});
  const std::vector<Fields> once = {{3.0, 1, 1, 2000, 3, 33.0}};
  EXPECT_EQ(events(s, ThresholdType::Upper, 20.0, 3), once);
  EXPECT_TRUE(events(s, ThresholdType::Upper, 20.0, 4).empty());
  // A single passing last record.
  const SeriesBuilder last = SeriesBuilder().values(2000, {10, 10, 25});
  EXPECT_EQ(events(last, ThresholdType::Upper, 20.0, 1), (std::vector<Fields>{{3.0, 1, 1, 2000, 1, 5.0}}));
}

TEST(ScanEvents, MinimumDurationOfZeroOrLessReportsEveryRun) {
  const SeriesBuilder s = SeriesBuilder().values(2000, {25, 10, 25, 25});
  // Non-passing values in a row, and at the start, make no empty events.
  const SeriesBuilder gaps = SeriesBuilder().values(2000, {10, 25, 10, 10, 25});
  for (const std::int32_t durmin : {1, 0, -5, std::numeric_limits<std::int32_t>::min()}) {
    SCOPED_TRACE(durmin);
    EXPECT_EQ(events(s, ThresholdType::Upper, 20.0, durmin).size(), 2u);
    EXPECT_EQ(events(gaps, ThresholdType::Upper, 20.0, durmin).size(), 2u);
  }
}

TEST(ScanEvents, SignOfTheActionMeasureFollowsTheType) {
  const SeriesBuilder s = SeriesBuilder().values(2000, {-3, -4, 5, 6, -1, 7});
  for (const auto& e : events(s, ThresholdType::Upper, 0.0, 1)) EXPECT_GT(std::get<5>(e), 0.0);
  for (const auto& e : events(s, ThresholdType::Lower, 0.0, 1)) EXPECT_LT(std::get<5>(e), 0.0);
}

// The date of an event is that of the record whose counter lies nearest the
// midpoint rounded half away from zero, searched over the whole series.
TEST(ScanEvents, DateOfTheRecordNearestTheMidpoint) {
  struct Case {
    const char* what;
    std::vector<std::int32_t> passing;  // counters of the event's records
    std::vector<std::int32_t> others;   // counters of the records after it, not passing
    double mid;
    std::int32_t day;  // day of the dating record (its position in the series)
  };
  const Case cases[] = {
      {"one record", {42}, {}, 42.0, 1},
      {"half rounds up", {6, 7}, {}, 6.5, 2},
      {"half rounds away from zero", {-4, -3}, {}, -3.5, 1},
      {"equal distances take the first", {100, 200}, {}, 150.0, 1},
      {"midpoint in a gap", {100, 101, 200}, {}, 401.0 / 3.0, 2},
      {"nearest record outside the event", {10, 20}, {15}, 15.0, 3},
      {"first of a repeated counter", {10, 20}, {15, 15}, 15.0, 3},
      {"large counters", {10000000, 10000001}, {}, 10000000.5, 2},
      {"counters at the integer limits",
       {std::numeric_limits<std::int32_t>::max() - 1, std::numeric_limits<std::int32_t>::max()},
       {std::numeric_limits<std::int32_t>::min()},
       2147483646.5,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SeriesBuilder b;
    std::int32_t day = 0;
    for (const std::int32_t t : c.passing) b.row(t, ++day, 3, 2000, 25.0);
    for (const std::int32_t t : c.others) b.row(t, ++day, 3, 2000, 15.0);
    const auto got = events(b, ThresholdType::Upper, 20.0, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<0>(got[0]), c.mid);
    EXPECT_EQ(std::get<1>(got[0]), c.day);
    EXPECT_EQ(std::get<4>(got[0]), static_cast<std::int32_t>(c.passing.size()));
  }
}

// Running sums and means are updated in extended precision before they are
// stored; plain double arithmetic gives different last bits here.
TEST(ScanEvents, UpdatesAreEvaluatedInExtendedPrecision) {
  const double next_after_one = std::nextafter(1.0, 2.0);
  const SeriesBuilder sum = SeriesBuilder().values(2000, {2.0, next_after_one});
  // 1.0 + next_after_one would round to 2.0 in double, leaving a = 1.0.
  EXPECT_EQ(std::get<5>(events(sum, ThresholdType::Upper, 1.0, 1).at(0)), next_after_one);

  SeriesBuilder mean;
  for (const std::int32_t t : {1703301251, 1703301254, 1703301256, 1703301257, 1703301258, 1703301259})
    mean.row(t, 1, 1, 2000, 25.0);
  EXPECT_EQ(std::get<0>(events(mean, ThresholdType::Upper, 20.0, 1).at(0)), 1703301255.8333335);

  // Consecutive counters, whose mean is taken without the division, end on
  // the bits of the extended update, at either end of the counter range.
  for (const std::int64_t first : {std::int64_t{std::numeric_limits<std::int32_t>::min()},
                                   std::int64_t{std::numeric_limits<std::int32_t>::max()} - NMAX + 1}) {
    SeriesBuilder run;
    long double reference = 0;
    for (std::int32_t k = 1; k <= NMAX; ++k) {
      const auto t = static_cast<std::int32_t>(first + k - 1);
      run.row(t, 1, 1, 2000, 25.0);
      reference =
          static_cast<double>((static_cast<long double>(t) + static_cast<long double>(k - 1) * reference) /
                              static_cast<long double>(k));
    }
    EXPECT_EQ(std::get<0>(events(run, ThresholdType::Upper, 20.0, 1).at(0)), static_cast<double>(reference));
  }
}

}  // namespace
}  // namespace vorda
