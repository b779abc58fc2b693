#pragma once

#include <cstdint>

namespace vorda {

// One reported threshold event.
struct Event {
  double mid = 0;      // midpoint time: running mean of the event's counters
  std::int32_t d = 0;  // date of the record nearest the rounded midpoint
  std::int32_t m = 0;
  std::int32_t yr = 0;
  std::int32_t dur = 0;  // number of records
  double a = 0;          // action measure: sum of x - thres
};

// Receives the event records of a scan, one call per event, in order.
class EventWriter {
 public:
  virtual ~EventWriter() = default;
  virtual void write(const Event& event) = 0;
};

// Receives the year records of a yearly scan, one call per record, in order.
class YearWriter {
 public:
  virtual ~YearWriter() = default;
  virtual void write(std::int32_t year, std::int32_t value) = 0;
};

}  // namespace vorda
