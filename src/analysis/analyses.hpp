#pragma once

#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"

namespace vorda {

// Every analysis of a run, each handing its records to its own writer: the
// events, the days beyond the threshold per year, and the type's two yearly
// indices (WSDI and the start of the growing season above an upper
// threshold, CSDI and the last frost day below a lower one).
void analyse(const SeriesView& s, const Threshold& th, EventWriter& events, YearWriter& days,
             YearWriter& spells, YearWriter& season);

}  // namespace vorda
