#include "analysis/shared_calendar.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "analysis/last_frost.hpp"
#include "analysis/open_event.hpp"

namespace vorda {
namespace {

// As in growing_season.cpp and last_frost.cpp.
constexpr std::int32_t kRecordsBeforeEarliestStart = 31;
constexpr std::int32_t kHorizon = 182;

bool bit(const PassBits& bits, std::int32_t k) {
  return (bits[static_cast<std::size_t>(k) >> 6] >> (k & 63)) & 1u;
}

// The first record from `k` on whose bit is `value`; `end` if none before it.
std::int32_t next_with(const PassBits& bits, std::int32_t k, std::int32_t end, bool value) {
  while (k < end) {
    const std::size_t w = static_cast<std::size_t>(k) >> 6;
    const std::uint64_t word = (value ? bits[w] : ~bits[w]) >> (k & 63);
    if (word != 0) return std::min(end, k + std::countr_zero(word));
    k = static_cast<std::int32_t>((w + 1) << 6);
  }
  return end;
}

// Calls run(p, q) for each run of set bits p..q, in order: the runs' first
// and last bits are found a word at a time.
template <typename Run>
void for_each_run(const PassBits& bits, Run run) {
  std::int32_t p = -1;  // the first record of a run still open
  for (std::size_t w = 0; w < bits.size(); ++w) {
    const std::uint64_t word = bits[w];
    const std::uint64_t before = w > 0 ? bits[w - 1] >> 63 : 0;
    const std::uint64_t after = w + 1 < bits.size() ? bits[w + 1] << 63 : 0;
    std::uint64_t firsts = word & ~((word << 1) | before);
    std::uint64_t lasts = word & ~((word >> 1) | after);
    const auto base = static_cast<std::int32_t>(w << 6);
    for (;;) {
      if (p < 0) {
        if (firsts == 0) break;
        p = base + std::countr_zero(firsts);
        firsts &= firsts - 1;
      }
      if (lasts == 0) break;
      run(p, base + std::countr_zero(lasts));
      lasts &= lasts - 1;
      p = -1;
    }
  }
}

// The last record in lo..hi whose bit is set; -1 if none.
std::int32_t last_set(const PassBits& bits, std::int32_t lo, std::int32_t hi) {
  while (hi >= lo) {
    const std::size_t w = static_cast<std::size_t>(hi) >> 6;
    const std::uint64_t word = bits[w] << (63 - (hi & 63));
    if (word != 0) {
      const std::int32_t k = hi - std::countl_zero(word);
      return k >= lo ? k : -1;
    }
    hi = static_cast<std::int32_t>(w << 6) - 1;
  }
  return -1;
}

}  // namespace

void pass_bits(std::span<const double> x, std::int32_t n, const Threshold& th, PassBits& bits) {
  bits.assign((static_cast<std::size_t>(n) >> 6) + 1, 0);
  for (std::int32_t k = 1; k <= n; ++k)
    bits[static_cast<std::size_t>(k) >> 6] |= std::uint64_t{passes(th.type, x[k], th.thres)} << (k & 63);
}

SharedCalendar::SharedCalendar(const SeriesView& calendar, const Threshold& th)
    : cal_(calendar), th_(th), n_(calendar.last()), nearest_(calendar) {
  if (n_ < 1) return;
  const auto n = static_cast<std::size_t>(n_);
  const auto& yr = cal_.yr;

  years_.assign(yr.begin() + 1, yr.begin() + 1 + n_);
  std::sort(years_.begin(), years_.end());
  years_.erase(std::unique(years_.begin(), years_.end()), years_.end());
  const auto index = [&](std::int32_t year) {
    return static_cast<std::int32_t>(std::lower_bound(years_.begin(), years_.end(), year) - years_.begin());
  };
  year_of_.assign(n + 1, 0);
  for (std::int32_t k = 1; k <= n_; ++k) year_of_[static_cast<std::size_t>(k)] = index(yr[k]);
  if (std::binary_search(years_.begin(), years_.end(), kUnset)) unset_year_ = index(kUnset);
  // As count_days: the store's slots past the columns are unset.
  if (cal_.stored() < NMAX && passes(th.type, -999.0, th.thres)) unset_tail_ = NMAX - cal_.stored();

  // The years count_days reports: at each greater year, and the one in hand at record n.
  std::int32_t yrold = yr[1];
  for (std::int32_t i = 1; i <= n_; ++i) {
    if (i == n_) {
      day_reports_.push_back({yrold, index(yrold)});
      break;
    }
    if (yr[i] > yrold) {
      day_reports_.push_back({yrold, index(yrold)});
      yrold = yr[i];
    }
  }

  // The spell and season scans start afresh where a record's year is greater
  // than the one before it (unless that one is unset), and report each
  // stretch there; at record n they report the stretch in hand under the
  // year of record n - 1, record n itself not examined.
  stretch_start_.push_back(1);
  stretch_of_.assign(n + 1, 0);
  for (std::int32_t j = 2; j <= n_; ++j) {
    if (yr[j] > yr[j - 1] && yr[j - 1] != kUnset) {
      stretch_reports_.push_back({yr[j - 1], static_cast<std::int32_t>(stretch_start_.size()) - 1});
      stretch_start_.push_back(j);
    }
    stretch_of_[static_cast<std::size_t>(j)] = static_cast<std::int32_t>(stretch_start_.size()) - 1;
  }
  stretch_reports_.push_back({n_ == 1 ? kUnset : yr[n_ - 1], stretch_of_[n]});
  stretch_start_.push_back(n_ + 1);

  // The last frost day follows the calendar's blocks of equal years where
  // years never fall and none is unset; otherwise its own scan runs.
  simple_years_ = true;
  block_start_.push_back(1);
  block_of_.assign(n + 1, 0);
  for (std::int32_t k = 1; k <= n_; ++k) {
    if (yr[k] == kUnset || (k > 1 && yr[k] < yr[k - 1])) simple_years_ = false;
    if (k > 1 && yr[k] != yr[k - 1]) block_start_.push_back(k);
    block_of_[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(block_start_.size()) - 1;
  }
  block_start_.push_back(n_ + 1);
}

void SharedCalendar::analyse(const PassBits& passing, std::span<const double> x, EventWriter& events,
                             YearWriter& days, YearWriter& spells, YearWriter& season) {
  if (n_ < 1 || th_.type == ThresholdType::None) return;
  day_counts_.assign(years_.size(), 0);
  spell_days_.assign(stretch_start_.size(), 0);
  season_start_.assign(stretch_start_.size(), 0);
  season_found_.assign(stretch_start_.size(), false);
  count_runs(passing, x, events);

  for (const Report& r : day_reports_)
    days.write(r.year,
               day_counts_[static_cast<std::size_t>(r.from)] + (r.from == unset_year_ ? unset_tail_ : 0));
  for (const Report& r : stretch_reports_)
    spells.write(r.year, spell_days_[static_cast<std::size_t>(r.from)]);
  if (th_.type == ThresholdType::Upper) {
    for (const Report& r : stretch_reports_)
      season.write(r.year, season_start_[static_cast<std::size_t>(r.from)]);
  } else {
    last_frost_of(passing, season);
  }
}

void SharedCalendar::count_runs(const PassBits& passing, std::span<const double> x, EventWriter& events) {
  const bool upper = th_.type == ThresholdType::Upper;
  const std::int32_t least = std::max(th_.durmin, 1);  // a run's length that counts
  for_each_run(passing, [&](const std::int32_t p, const std::int32_t q) {
    const auto at = [](const std::vector<std::int32_t>& v, std::int32_t k) {
      return v[static_cast<std::size_t>(k)];
    };
    if (at(block_of_, p) == at(block_of_, q)) {
      day_counts_[static_cast<std::size_t>(at(year_of_, p))] += q - p + 1;
    } else {
      for (std::int32_t k = p; k <= q; ++k) ++day_counts_[static_cast<std::size_t>(at(year_of_, k))];
    }

    if (q - p + 1 >= th_.durmin) {
      OpenEvent e;
      for (std::int32_t k = p; k <= q; ++k) e.extend(cal_.t[k], x[k], th_.thres);
      const std::int32_t k = nearest_.find(rounded_midpoint(e.mid));
      events.write(Event{e.mid, cal_.d[k], cal_.m[k], cal_.yr[k], e.dur, e.a});
    }

    // The spell and season scans stop before record n, and start a run
    // afresh at each stretch.
    for (std::int32_t from = p, last = std::min(q, n_ - 1); from <= last;) {
      const auto s = static_cast<std::size_t>(stretch_of_[static_cast<std::size_t>(from)]);
      const std::int32_t to = std::min(last, stretch_start_[s + 1] - 1);
      const std::int32_t length = to - from + 1;
      spell_days_[s] += length >= th_.durmin ? length : 0;
      if (upper && !season_found_[s]) {
        const std::int32_t j = std::max(from + least - 1, stretch_start_[s] + kRecordsBeforeEarliestStart);
        if (j <= to) {
          season_found_[s] = true;
          season_start_[s] = j - stretch_start_[s] + 1;
        }
      }
      from = to + 1;
    }
  });
}

void SharedCalendar::last_frost_of(const PassBits& passing, YearWriter& out) const {
  if (!simple_years_) {
    // The scan itself, on values that pass exactly where the bits say.
    std::vector<double> x(static_cast<std::size_t>(n_) + 1, std::numeric_limits<double>::infinity());
    for (std::int32_t k = 1; k <= n_; ++k)
      if (bit(passing, k)) x[static_cast<std::size_t>(k)] = -std::numeric_limits<double>::infinity();
    last_frost(SeriesView(n_, cal_.t, cal_.d, cal_.m, cal_.yr, x), th_, out);
    return;
  }
  // Records 1..n-1 are examined. Until the first frost among the first 182
  // records no year change is seen and ordinals count from record 1; after it,
  // each block of equal years counts from its own first record.
  const std::int32_t last = n_ - 1;
  const std::int32_t first = next_with(passing, 1, std::min(kHorizon, last) + 1, true);
  if (first > std::min(kHorizon, last)) {
    out.write(kUnset, kUnset);
    return;
  }
  auto block = static_cast<std::size_t>(std::upper_bound(block_start_.begin(), block_start_.end(), first) -
                                        block_start_.begin()) -
               1;
  std::int32_t year = cal_.yr[first];
  std::int32_t frost = last_set(passing, first, std::min({block_start_[block + 1] - 1, kHorizon, last}));
  for (++block; block_start_[block] <= last; ++block) {
    out.write(year, frost);
    const std::int32_t a = block_start_[block];
    year = cal_.yr[a];
    const std::int32_t k =
        last_set(passing, a, std::min({block_start_[block + 1] - 1, a + kHorizon - 1, last}));
    frost = k < 0 ? kUnset : k - a + 1;
  }
  out.write(year, frost);
}

}  // namespace vorda
