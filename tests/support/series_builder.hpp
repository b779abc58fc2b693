#pragma once

// Helpers for the analysis tests: building a series record by record and
// collecting what a scan writes.

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "core/records.hpp"
#include "core/store.hpp"

namespace vorda::testing {

// Builds a series by appending records. Records added by year() and
// values() get counters 1, 2, 3, ... and day 1 of month 1.
class SeriesBuilder {
 public:
  SeriesBuilder() { s_.n = 0; }

  SeriesBuilder& row(std::int32_t t, std::int32_t d, std::int32_t m, std::int32_t yr, double x) & {
    const std::int32_t i = ++s_.n;
    s_.t[i] = t;
    s_.d[i] = d;
    s_.m[i] = m;
    s_.yr[i] = yr;
    s_.x[i] = x;
    return *this;
  }

  // One record of year `yr` per value.
  SeriesBuilder& values(std::int32_t yr, std::initializer_list<double> xs) & {
    for (const double x : xs) row(s_.n + 1, 1, 1, yr, x);
    return *this;
  }

  // `count` records of year `yr` with value `x`, except at the given ordinals
  // (1-based within these records).
  SeriesBuilder& year(std::int32_t yr, std::int32_t count, double x,
                      std::initializer_list<std::pair<std::int32_t, double>> at = {}) & {
    const std::int32_t first = s_.n + 1;
    for (std::int32_t k = 0; k < count; ++k) row(s_.n + 1, 1, 1, yr, x);
    for (const auto& [ordinal, value] : at) s_.x[first + ordinal - 1] = value;
    return *this;
  }

  // Sets the record count by hand, e.g. to 0 or below with records stored.
  SeriesBuilder& count(std::int32_t n) & {
    s_.n = n;
    return *this;
  }

  // The same on a temporary builder, which then moves instead of copying.
  SeriesBuilder&& row(std::int32_t t, std::int32_t d, std::int32_t m, std::int32_t yr, double x) && {
    return std::move(row(t, d, m, yr, x));
  }
  SeriesBuilder&& values(std::int32_t yr, std::initializer_list<double> xs) && {
    return std::move(values(yr, xs));
  }
  SeriesBuilder&& year(std::int32_t yr, std::int32_t count, double x,
                       std::initializer_list<std::pair<std::int32_t, double>> at = {}) && {
    return std::move(year(yr, count, x, at));
  }
  SeriesBuilder&& count(std::int32_t n) && { return std::move(count(n)); }

  const Series& series() const { return s_; }
  operator const Series&() const { return s_; }
  operator SeriesView() const { return s_; }

 private:
  Series s_;
};

using YearRecord = std::pair<std::int32_t, std::int32_t>;

class YearRecords : public YearWriter {
 public:
  void write(std::int32_t year, std::int32_t value) override { records.emplace_back(year, value); }
  std::vector<YearRecord> records;
};

class EventRecords : public EventWriter {
 public:
  void write(const Event& event) override { events.push_back(event); }
  std::vector<Event> events;
};

// Runs a yearly scan and returns the records it wrote.
template <typename Scan, typename... Args>
std::vector<YearRecord> year_records(Scan scan, const Args&... args) {
  YearRecords out;
  scan(args..., out);
  return out.records;
}

}  // namespace vorda::testing
