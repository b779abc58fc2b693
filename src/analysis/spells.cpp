#include "analysis/spells.hpp"

#include <cstdint>

namespace vorda {

void spell_durations(const SeriesView& s, const Threshold& th, YearWriter& out) {
  if (th.type == ThresholdType::None) return;
  const std::int32_t n = s.last();

  std::int32_t yrold = kUnset;
  std::int32_t dur = 0;   // current run of passing records within the year
  std::int32_t days = 0;  // days of the year in spells, a spell in progress included
  std::int32_t base = 0;  // days at the last record that did not pass
  for (std::int32_t j = 1; j <= n; ++j) {
    if (s.yr[j] > yrold && yrold != kUnset) {
      out.write(yrold, days);
      dur = 0;
      days = 0;
      base = 0;
    }
    if (j == n) {
      out.write(yrold, days);
      return;
    }
    if (passes(th.type, s.x[j], th.thres)) {
      ++dur;
      // A run counts in full from its first record once it is long enough.
      if (dur >= th.durmin) days = dur + base;
    } else {
      dur = 0;
      base = days;
    }
    yrold = s.yr[j];
  }
}

}  // namespace vorda
