#pragma once

#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"

namespace vorda {

// Writes per year the number of days beyond the threshold. A year is reported
// when the first record of a greater year is met, and the year then current is
// reported once more at record n. A year's count covers every slot of the
// store (all NMAX of them) that holds that year and passes, wherever it stands,
// so unset slots count towards year -999. Nothing is written for a threshold
// of type None or when n < 1.
void count_days(const SeriesView& s, const Threshold& th, YearWriter& out);

}  // namespace vorda
