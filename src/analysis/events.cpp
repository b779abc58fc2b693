#include "analysis/events.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "analysis/nearest.hpp"

namespace vorda {
namespace {

static_assert(std::numeric_limits<long double>::digits == 64,
              "event midpoints and action measures need the 64-bit significand of extended precision");

// The running quantities of an open event. Their updates are evaluated in
// extended precision and rounded to double when stored, so that the written
// midpoints and action measures agree to the last bit with earlier result
// files.
struct OpenEvent {
  std::int32_t dur = 0;
  double mid = 0;  // running mean of the counters
  double a = 0;    // sum of x - thres

  void extend(std::int32_t t, double x, double thres) {
    ++dur;
    mid = static_cast<double>((static_cast<long double>(t) +
                               static_cast<long double>(dur - 1) * static_cast<long double>(mid)) /
                              static_cast<long double>(dur));
    a = static_cast<double>((static_cast<long double>(a) + static_cast<long double>(x)) -
                            static_cast<long double>(thres));
  }
};

// The time whose nearest record dates an event: the midpoint rounded to a whole
// counter, halves away from zero.
std::int64_t rounded_midpoint(double mid) { return static_cast<std::int64_t>(std::round(mid)); }

}  // namespace

void scan_events(const Series& s, const Threshold& th, EventWriter& out) {
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
