#include "analysis/events.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "analysis/nearest.hpp"
#include "analysis/open_event.hpp"

namespace vorda {

void scan_events(const SeriesView& s, const Threshold& th, EventWriter& out) {
  if (th.type == ThresholdType::None) return;
  const std::int32_t n = s.last();

  // The nearest-record index is needed only once an event is written.
  std::optional<NearestRecord> nearest;
  const auto write = [&](const OpenEvent& e) {
    if (!nearest) nearest.emplace(s);
    const std::int32_t k = nearest->find(rounded_midpoint(e.mid));
    out.write(Event{e.mid, s.d[k], s.m[k], s.yr[k], e.dur, e.a});
  };

  OpenEvent open;
  for (std::int32_t i = 1; i <= n; ++i) {
    if (passes(th.type, s.x[i], th.thres)) {
      open.extend(s.t[i], s.x[i], th.thres);
      if (i == n && open.dur >= th.durmin) write(open);
    } else {
      if (open.dur > 0 && open.dur >= th.durmin) write(open);
      open = OpenEvent{};
    }
  }
}

}  // namespace vorda
