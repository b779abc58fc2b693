#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/nearest.hpp"
#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"

namespace vorda {

// The records of a series that pass the threshold, one bit per record:
// bit k%64 of word k/64 for record k (1..n); bit 0 and the bits past n are
// clear.
using PassBits = std::vector<std::uint64_t>;

// Sets `bits` for the values x[1..n] (slot 0 unused).
void pass_bits(std::span<const double> x, std::int32_t n, const Threshold& th, PassBits& bits);

// The analyses of many series that share one calendar (t, d, m, yr). What the
// scans do with the calendar alone (where a year change resets them, which
// year each record reports, the record nearest each time) is worked out once;
// a series then costs a walk over its runs of passing records. For each
// series it writes exactly the records that analyse() writes for it, to
// writers of the same kinds.
class SharedCalendar {
 public:
  // The calendar's columns hold records 1..n in slots 1..n; they must outlive
  // this object. Its x is not read.
  SharedCalendar(const SeriesView& calendar, const Threshold& th);

  // One series, given by the bits of its passing records and their values:
  // x[k] (slot 0 unused) is read only where bit k is set.
  void analyse(const PassBits& passing, std::span<const double> x, EventWriter& events, YearWriter& days,
               YearWriter& spells, YearWriter& season);

 private:
  struct Report {
    std::int32_t year;
    std::int32_t from;  // the year (days) or the stretch (spells, season) whose value is written
  };

  void count_runs(const PassBits& passing, std::span<const double> x, EventWriter& events);
  void last_frost_of(const PassBits& passing, YearWriter& out) const;

  SeriesView cal_;
  Threshold th_;
  std::int32_t n_;
  NearestRecord nearest_;
  std::vector<std::int32_t> years_;    // the distinct years, ascending
  std::vector<std::int32_t> year_of_;  // per record, its index in years_
  std::int32_t unset_tail_ = 0;        // passing unset slots past the columns, counted for -999
  std::int32_t unset_year_ = -1;       // index of -999 in years_, or -1
  std::vector<Report> day_reports_;
  // Stretches between the year changes of the spell and season scans.
  std::vector<std::int32_t> stretch_start_;  // first record of each stretch; one more: n + 1
  std::vector<std::int32_t> stretch_of_;     // per record, its stretch
  std::vector<Report> stretch_reports_;
  // Blocks of equal years: a run within one counts its days at once; the
  // last frost day follows them where years never fall.
  bool simple_years_ = false;
  std::vector<std::int32_t> block_start_;  // one more: n + 1
  std::vector<std::int32_t> block_of_;     // per record, its block

  // Per series.
  std::vector<std::int32_t> day_counts_, spell_days_, season_start_;
  std::vector<bool> season_found_;
};

}  // namespace vorda
