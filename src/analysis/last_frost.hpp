#pragma once

#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"

namespace vorda {

// For a lower threshold, writes per year the last frost day: the ordinal
// within the year of the last record below the threshold among the year's
// first 182 records; -999 when there is none. Other threshold types write
// nothing.
//
// The year in hand changes only at a year change or at a frost record, so
// until the first frost no year change is seen and ordinals count from the
// start of the series; without a frost among the first 182 records of the
// series, only (-999, -999) is written. Record n is neither examined nor
// tested for a year change: it reports the year in hand. Nothing is written
// when n < 1.
void last_frost(const SeriesView& s, const Threshold& th, YearWriter& out);

}  // namespace vorda
