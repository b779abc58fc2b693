#include "analysis/shared_calendar.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "analysis/analyses.hpp"
#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::EventRecords;
using testing::YearRecords;

auto fields(const Event& e) { return std::tuple(e.mid, e.d, e.m, e.yr, e.dur, e.a); }

// Columns of n records, slot 0 unused, on calendars of the given shape.
struct Columns {
  std::vector<std::int32_t> t, d, m, yr;
  std::vector<double> x;
};

enum class Years { Rising, Falling, WithUnset };

Columns calendar(std::mt19937& rng, std::int32_t n, Years shape, bool gaps) {
  Columns c;
  std::int32_t year = shape == Years::WithUnset ? kUnset - 1 : 1990;  // one less: the first record adds one
  std::int32_t left = 0;
  std::int32_t t = static_cast<std::int32_t>(rng() % 9) - 4;
  for (auto* col : {&c.t, &c.d, &c.m, &c.yr}) col->push_back(kUnset);
  c.x.push_back(-999.0);
  const std::int32_t lengths[] = {1, 2, 31, 32, 100, 182, 183, 365};
  for (std::int32_t k = 1; k <= n; ++k) {
    if (left-- == 0) {
      left = lengths[rng() % 8] - 1;
      year += shape == Years::Falling && rng() % 4 == 0 ? -1 : 1;
    }
    t += gaps ? 1 + static_cast<std::int32_t>(rng() % 3) : 1;
    c.t.push_back(t);
    c.d.push_back(k % 28 + 1);
    c.m.push_back(k / 28 % 12 + 1);
    c.yr.push_back(year);
    c.x.push_back(static_cast<double>(rng() % 7) * 0.5);
  }
  return c;
}

TEST(SharedCalendar, WritesWhatTheScansWrite) {
  std::mt19937 rng(20261208);
  for (const ThresholdType type : {ThresholdType::Upper, ThresholdType::Lower}) {
    for (const Years shape : {Years::Rising, Years::Falling, Years::WithUnset}) {
      for (int round = 0; round < 40; ++round) {
        const std::int32_t n = round < 4 ? round + 1 : static_cast<std::int32_t>(rng() % 1500) + 1;
        Columns c = calendar(rng, n, shape, round % 3 == 0);
        const Threshold th{type, 1.5, static_cast<std::int32_t>(rng() % 8) - 2};
        SCOPED_TRACE(::testing::Message()
                     << "type " << static_cast<int>(type) << " shape " << static_cast<int>(shape) << " n "
                     << n << " durmin " << th.durmin);
        const SeriesView view(n, c.t, c.d, c.m, c.yr, c.x);
        SharedCalendar shared(view, th);
        for (int series = 0; series < 3; ++series) {
          for (std::int32_t k = 1; k <= n; ++k)
            c.x[static_cast<std::size_t>(k)] = static_cast<double>(rng() % 7) * 0.5;
          EventRecords events[2];
          YearRecords days[2], spells[2], season[2];
          analyse(view, th, events[0], days[0], spells[0], season[0]);
          PassBits bits;
          pass_bits(c.x, n, th, bits);
          shared.analyse(bits, c.x, events[1], days[1], spells[1], season[1]);
          ASSERT_EQ(events[0].events.size(), events[1].events.size());
          for (std::size_t i = 0; i < events[0].events.size(); ++i)
            ASSERT_EQ(fields(events[0].events[i]), fields(events[1].events[i])) << "event " << i;
          ASSERT_EQ(days[0].records, days[1].records);
          ASSERT_EQ(spells[0].records, spells[1].records);
          ASSERT_EQ(season[0].records, season[1].records);
        }
      }
    }
  }
}

}  // namespace
}  // namespace vorda
