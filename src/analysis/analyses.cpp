#include "analysis/analyses.hpp"

#include "analysis/days.hpp"
#include "analysis/events.hpp"
#include "analysis/growing_season.hpp"
#include "analysis/last_frost.hpp"
#include "analysis/spells.hpp"

namespace vorda {

void analyse(const SeriesView& s, const Threshold& th, EventWriter& events, YearWriter& days,
             YearWriter& spells, YearWriter& season) {
  scan_events(s, th, events);
  count_days(s, th, days);
  spell_durations(s, th, spells);
  // Each of the two writes for its own type only.
  growing_season(s, th, season);
  last_frost(s, th, season);
}

}  // namespace vorda
