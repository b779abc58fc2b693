#pragma once

#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"

namespace vorda {

// Writes per year the number of days that lie in spells: runs of at least
// `durmin` consecutive records beyond the threshold within one year. Above an
// upper threshold this is the warm spell duration index, below a lower one
// the cold spell duration index; a threshold of type None writes nothing.
//
// Record n is not examined: at record n the year in hand is reported (-999
// when n is 1), after the year change that record n may itself bring, so a
// year is then reported twice. A smaller year is no year change, but it
// becomes the year in hand. Nothing is written when n < 1.
void spell_durations(const SeriesView& s, const Threshold& th, YearWriter& out);

}  // namespace vorda
