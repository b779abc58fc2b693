#pragma once

#include <cstdint>
#include <source_location>
#include <string_view>
#include <memory>
#include <span>

namespace vorda {

class Source;

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

// Opens the data file on channel 1. `infile` is the name as typed; trailing
// blanks are not part of the path. Raises RuntimeFailure (unit 1, file '')
// naming `where`, the caller's open statement, when the file cannot be opened.
Source open_input(std::string_view infile,
                  std::source_location where = std::source_location::current());

// Reads records 1..s.n from `in` (none when s.n < 1), one free-format read of
// t, d, m, yr, x per record, then closes `in`. s.n must not exceed NMAX.
void load_series(Source& in, Series& s);

}  // namespace vorda
