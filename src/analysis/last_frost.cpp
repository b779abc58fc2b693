#include "analysis/last_frost.hpp"

#include <cstdint>

namespace vorda {
namespace {

// Only the first half year is searched for frost.
constexpr std::int32_t kHorizon = 182;

}  // namespace

void last_frost(const SeriesView& s, const Threshold& th, YearWriter& out) {
  if (th.type != ThresholdType::Lower) return;
  const std::int32_t n = s.last();

  std::int32_t yrold = kUnset;
  std::int32_t frost = kUnset;  // ordinal of the latest frost of the year
  std::int32_t iday = 0;        // ordinal of the current record within its year
  for (std::int32_t k = 1; k <= n; ++k) {
    if (k == n) {
      out.write(yrold, frost);
      return;
    }
    if (s.yr[k] > yrold && yrold != kUnset) {
      out.write(yrold, frost);
      frost = kUnset;
      yrold = s.yr[k];
      iday = 1;
    } else if (++iday > kHorizon) {
      continue;
    }
    if (passes(th.type, s.x[k], th.thres)) {
      frost = iday;
      yrold = s.yr[k];
    }
  }
}

}  // namespace vorda
