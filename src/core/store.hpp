#pragma once

#include <algorithm>
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

}  // namespace vorda
