// The yearly scans on a real daily series of about 250 years: the counts, the
// start of season and the last frost must agree with a plain walk over each
// year, and the spell indices must be plausible for each year.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/days.hpp"
#include "analysis/growing_season.hpp"
#include "analysis/last_frost.hpp"
#include "analysis/spells.hpp"
#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::SeriesBuilder;
using testing::year_records;
using testing::YearRecord;
using Records = std::vector<YearRecord>;

const std::string kPath = std::string(VORDA_SHARED_DATA) + "/cet-daily-mean.txt";

class RealSeries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream in(kPath);
    if (!in) return;
    auto s = std::make_unique<SeriesBuilder>();
    std::int32_t t, d, m, yr;
    double x;
    while (s->series().n < NMAX && in >> t >> d >> m >> yr >> x) s->row(t, d, m, yr, x);
    series_ = std::move(s);
  }
  static void TearDownTestSuite() { series_.reset(); }

  void SetUp() override {
    if (!series_) GTEST_SKIP() << kPath << " is not available";
  }

  static const Series& series() { return series_->series(); }

  // Records per year, and records per year strictly beyond the threshold
  // (counted here, not with the program's own comparison).
  struct YearTally {
    std::int32_t records = 0;
    std::int32_t passing = 0;
  };
  static std::map<std::int32_t, YearTally> tally(ThresholdType type, double thres) {
    std::map<std::int32_t, YearTally> years;
    for (std::int32_t i = 1; i <= series().n; ++i) {
      YearTally& y = years[series().yr[i]];
      ++y.records;
      const double x = series().x[i];
      if (type == ThresholdType::Upper ? x > thres : x < thres) ++y.passing;
    }
    return years;
  }

  // The years of the yearly records, each once and in order.
  static void expect_every_year_once(const Records& got, const std::map<std::int32_t, YearTally>& years) {
    ASSERT_EQ(got.size(), years.size());
    auto year = years.begin();
    for (const auto& [y, value] : got) EXPECT_EQ(y, (year++)->first);
  }

  static std::unique_ptr<SeriesBuilder> series_;
};

std::unique_ptr<SeriesBuilder> RealSeries::series_;

TEST_F(RealSeries, DaysEqualAPlainCount) {
  ASSERT_EQ(series().n, 91005);
  for (const ThresholdType type : {ThresholdType::Upper, ThresholdType::Lower}) {
    for (const double thres : {0.0, 10.0, 20.0}) {
      SCOPED_TRACE(::testing::Message() << type_name(type) << " " << thres);
      const auto years = tally(type, thres);
      Records want;
      for (const auto& [year, y] : years) want.emplace_back(year, y.passing);
      EXPECT_EQ(year_records(count_days, series(), Threshold{type, thres, 1}), want);
    }
  }
}

TEST_F(RealSeries, UpperRunIsPlausible) {
  const Threshold th{ThresholdType::Upper, 20.0, 3};
  const auto years = tally(th.type, th.thres);

  const Records wsdi = year_records(spell_durations, series(), th);
  expect_every_year_once(wsdi, years);
  for (const auto& [year, w] : wsdi) {
    SCOPED_TRACE(year);
    EXPECT_GE(w, 0);
    EXPECT_LE(w, years.at(year).passing);
    if (w > 0) {
      EXPECT_GE(w, th.durmin);
    }
  }

  const Records sgs = year_records(growing_season, series(), th);
  expect_every_year_once(sgs, years);
  for (const auto& [year, start] : sgs) {
    SCOPED_TRACE(year);
    if (years.at(year).passing == 0) {
      EXPECT_EQ(start, 0);
    }
    if (start != 0) {
      EXPECT_GE(start, 32);
      EXPECT_LE(start, years.at(year).records);
    }
  }
}

TEST_F(RealSeries, LowerRunIsPlausible) {
  const Threshold th{ThresholdType::Lower, 0.0, 2};
  const auto years = tally(th.type, th.thres);

  const Records csdi = year_records(spell_durations, series(), th);
  expect_every_year_once(csdi, years);
  for (const auto& [year, c] : csdi) {
    SCOPED_TRACE(year);
    EXPECT_GE(c, 0);
    EXPECT_LE(c, years.at(year).passing);
  }

  const Records lfd = year_records(last_frost, series(), th);
  expect_every_year_once(lfd, years);
  for (const auto& [year, f] : lfd) {
    SCOPED_TRACE(year);
    if (years.at(year).passing == 0) {
      EXPECT_EQ(f, -999);
    }
    if (f != -999) {
      EXPECT_GE(f, 1);
      EXPECT_LE(f, 182);
    }
  }
}

// Exact values against a plain walk over each year's values, for every year
// but the last (record n closes it early). Thresholds are chosen so that the
// bounds are often met: days 32 and 182 pass in many years.
TEST_F(RealSeries, SeasonStartAndLastFrostEqualAPlainWalk) {
  std::map<std::int32_t, std::vector<double>> values;
  for (std::int32_t i = 1; i <= series().n; ++i) values[series().yr[i]].push_back(series().x[i]);
  const std::int32_t last_year = series().yr[series().n];
  const auto season_start = [](const std::vector<double>& xs, double thres, std::int32_t durmin) {
    std::int32_t run = 0;
    for (std::int32_t day = 1; day <= static_cast<std::int32_t>(xs.size()); ++day) {
      run = xs[day - 1] > thres ? run + 1 : 0;
      if (day >= 32 && run >= durmin) return day;
    }
    return 0;
  };
  const auto last_frost_day = [](const std::vector<double>& xs, double thres) {
    std::int32_t last = -999;
    for (std::int32_t day = 1; day <= 182 && day <= static_cast<std::int32_t>(xs.size()); ++day)
      if (xs[day - 1] < thres) last = day;
    return last;
  };
  for (const double thres : {0.0, 5.0}) {
    const Threshold th{ThresholdType::Upper, thres, 3};
    for (const auto& [year, v] : year_records(growing_season, series(), th)) {
      if (year == last_year) continue;
      EXPECT_EQ(v, season_start(values[year], thres, 3)) << thres << " " << year;
    }
  }
  for (const double thres : {0.0, 15.0}) {
    const Threshold th{ThresholdType::Lower, thres, 1};
    for (const auto& [year, v] : year_records(last_frost, series(), th)) {
      if (year == last_year) continue;
      EXPECT_EQ(v, last_frost_day(values[year], thres)) << thres << " " << year;
    }
  }
}

}  // namespace
}  // namespace vorda
