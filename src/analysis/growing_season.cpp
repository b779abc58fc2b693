#include "analysis/growing_season.hpp"

#include <cstdint>

namespace vorda {
namespace {

// The season cannot start before this many records of the year have passed.
constexpr std::int32_t kRecordsBeforeEarliestStart = 31;

}  // namespace

void growing_season(const SeriesView& s, const Threshold& th, YearWriter& out) {
  if (th.type != ThresholdType::Upper) return;
  const std::int32_t n = s.last();

  std::int32_t yrold = kUnset;
  std::int32_t dur = 0;    // current run of passing records within the year
  std::int32_t seen = 0;   // records of the year before the current one
  std::int32_t start = 0;  // ordinal of the season's start, 0 while none found
  bool found = false;
  for (std::int32_t j = 1; j <= n; ++j) {
    if (s.yr[j] > yrold && yrold != kUnset) {
      out.write(yrold, start);
      dur = 0;
      seen = 0;
      start = 0;
      found = false;
    }
    if (j == n) {
      out.write(yrold, start);
      return;
    }
    if (passes(th.type, s.x[j], th.thres)) {
      ++dur;
      // A run may reach its length early; it still starts the season at the
      // earliest ordinal allowed if it lasts until then.
      if (dur >= th.durmin && !found && seen >= kRecordsBeforeEarliestStart) {
        found = true;
        start = seen + 1;
      }
    } else {
      dur = 0;
    }
    ++seen;
    yrold = s.yr[j];
  }
}

}  // namespace vorda
