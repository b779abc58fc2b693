#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <span>

namespace vorda {

// Capacity of the series store, in records.
inline constexpr std::int32_t NMAX = 100000;
// Start value of every number: an unset slot, or a year variable without a year.
inline constexpr std::int32_t kUnset = -999;

// The loaded daily series: five parallel columns addressed 1..NMAX (slot 0 is
// unused, so that the code reads like the record numbers), and the record count.
// Every slot starts at -999 (-999.0 for x); slots above n keep that value.
class Series {
 public:
  Series();
  Series(const Series& other);
  Series& operator=(const Series& other);
  Series(Series&&) noexcept = default;
  Series& operator=(Series&&) noexcept = default;

  // The last record a scan visits: n, but never beyond the store. A count of
  // 0 or below visits nothing.
  std::int32_t last() const { return std::min(n, NMAX); }

  std::int32_t n = kUnset;
  std::span<std::int32_t> t, d, m, yr;
  std::span<double> x;

 private:
  struct Release {
    void operator()(void* block) const;
  };
  // All five columns live in one block, allocated once.
  std::unique_ptr<void, Release> block_;
};

// What the scans read of a series: the record count and the columns, slot 0
// unused. The columns may be shorter than the store; the store's slots past
// their end count as unset (-999), as in a store that was never filled there.
// A Series is viewed whole.
struct SeriesView {
  SeriesView(const Series& s) : n(s.n), t(s.t), d(s.d), m(s.m), yr(s.yr), x(s.x) {}  // NOLINT: implicit
  SeriesView(std::int32_t count, std::span<const std::int32_t> t_, std::span<const std::int32_t> d_,
             std::span<const std::int32_t> m_, std::span<const std::int32_t> yr_, std::span<const double> x_)
      : n(count), t(t_), d(d_), m(m_), yr(yr_), x(x_) {
    assert(last() <= stored() && t.size() == yr.size() && d.size() == yr.size() && m.size() == yr.size() &&
           x.size() == yr.size());
  }

  // As Series::last(); the columns must hold that many records.
  std::int32_t last() const { return std::min(n, NMAX); }
  // The slots the columns hold, 1..stored(); the rest of the store is unset.
  std::int32_t stored() const { return static_cast<std::int32_t>(yr.size()) - 1; }

  std::int32_t n;
  std::span<const std::int32_t> t, d, m, yr;
  std::span<const double> x;
};

}  // namespace vorda
