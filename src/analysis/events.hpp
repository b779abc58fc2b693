#pragma once

#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"

namespace vorda {

// Finds the events of the series: maximal runs of consecutive records beyond
// the threshold. Every run of at least `durmin` records (compared signed, so a
// durmin of 1 or less reports every run) goes to `out` when the first record
// after it fails the test, or at record n when the series ends inside it.
// Nothing is written for a threshold of type None or when n < 1.
void scan_events(const SeriesView& s, const Threshold& th, EventWriter& out);

}  // namespace vorda
