#include "analysis/days.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorda {
namespace {

// The number of passing slots per year over the whole store, gathered in one
// pass. Years normally span a short range (the unset year -999 included), and
// then the counts sit in a table indexed by year; otherwise the passing years
// are kept sorted and a year's count is the length of its range.
class YearCounts {
 public:
  YearCounts(const SeriesView& s, const Threshold& th) {
    // Slots past the columns are unset: year -999, value -999.0.
    const std::int32_t stored = std::min(s.stored(), NMAX);
    if (stored < NMAX && passes(th.type, -999.0, th.thres)) unset_tail_ = NMAX - stored;
    const auto* const first = s.yr.data() + 1;
    auto [lo, hi] = std::minmax_element(first, first + stored);
    first_year_ = stored > 0 ? *lo : kUnset;
    std::int32_t last_year = stored > 0 ? *hi : kUnset;
    if (stored < NMAX) {
      first_year_ = std::min(first_year_, kUnset);
      last_year = std::max(last_year, kUnset);
    }
    const std::int64_t span = std::int64_t{last_year} - first_year_ + 1;
    dense_ = span <= kDenseSpan;
    if (dense_) {
      table_.assign(static_cast<std::size_t>(span), 0);
      for (std::int32_t k = 1; k <= stored; ++k)
        if (passes(th.type, s.x[k], th.thres)) ++table_[offset(s.yr[k])];
    } else {
      sorted_.reserve(static_cast<std::size_t>(stored));
      for (std::int32_t k = 1; k <= stored; ++k)
        if (passes(th.type, s.x[k], th.thres)) sorted_.push_back(s.yr[k]);
      std::sort(sorted_.begin(), sorted_.end());
    }
  }

  std::int32_t of(std::int32_t year) const {
    const std::int32_t tail = year == kUnset ? unset_tail_ : 0;
    if (dense_) return table_[offset(year)] + tail;
    const auto [from, to] = std::equal_range(sorted_.begin(), sorted_.end(), year);
    return static_cast<std::int32_t>(to - from) + tail;
  }

 private:
  static constexpr std::int64_t kDenseSpan = 4 * std::int64_t{NMAX};

  std::size_t offset(std::int32_t year) const {
    return static_cast<std::size_t>(std::int64_t{year} - first_year_);
  }

  std::int32_t first_year_ = 0;
  std::int32_t unset_tail_ = 0;  // passing unset slots past the columns
  bool dense_ = true;
  std::vector<std::int32_t> table_;
  std::vector<std::int32_t> sorted_;
};

}  // namespace

void count_days(const SeriesView& s, const Threshold& th, YearWriter& out) {
  if (th.type == ThresholdType::None) return;
  const std::int32_t n = s.last();
  if (n < 1) return;

  const YearCounts count(s, th);
  std::int32_t yrold = s.yr[1];
  for (std::int32_t i = 1; i <= n; ++i) {
    // The last record ends the scan before its year is looked at: it reports
    // the year in hand even when it opens a new one.
    if (i == n) {
      out.write(yrold, count.of(yrold));
      return;
    }
    // A smaller year is no year change; its days are counted with its own
    // year all the same.
    if (s.yr[i] > yrold) {
      out.write(yrold, count.of(yrold));
      yrold = s.yr[i];
    }
  }
}

}  // namespace vorda
