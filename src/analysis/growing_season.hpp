#pragma once

#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"

namespace vorda {

// For an upper threshold, writes per year the start of the growing season: the
// ordinal within the year of the first record, from the 32nd record of the
// year on, at which the current run of records above the threshold has reached
// `durmin` records; 0 when the year has none. Other threshold types write
// nothing.
//
// Record n is not examined: at record n the year in hand is reported (-999
// when n is 1), after the year change that record n may itself bring, so a
// year is then reported twice. A smaller year is no year change, but it
// becomes the year in hand. Nothing is written when n < 1.
void growing_season(const SeriesView& s, const Threshold& th, YearWriter& out);

}  // namespace vorda
