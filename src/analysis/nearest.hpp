#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/store.hpp"

namespace vorda {

// Finds, for a time r, the record of the series whose counter lies nearest r:
// the smallest record number k in 1..n with the least |t(k) - r|. Counters may
// have gaps, repeat or fall. Built once over records 1..n; each query is a
// search that starts where the last one ended, since an event scan asks in
// rising order of time. When the counters never fall the index searches the
// series itself and needs no memory of its own; when each counter is one more
// than the one before, the nearest record is found by subtraction. The series
// must outlive the index.
class NearestRecord {
 public:
  explicit NearestRecord(const SeriesView& s);

  // Record number nearest r, or 0 when the series has no records.
  std::int32_t find(std::int64_t r);

 private:
  // The records in order of counter, then of record number, addressed by
  // position 0..size-1.
  std::size_t size() const { return size_; }
  std::int32_t time_at(std::size_t pos) const;
  std::int32_t record_at(std::size_t pos) const;
  // First position whose counter is not below r; size() if none. The search
  // gallops outwards from `hint` before it bisects.
  std::size_t first_not_below(std::int64_t r, std::size_t hint) const;

  const std::int32_t* t_ = nullptr;    // counters of records 1..n when they never fall
  bool consecutive_ = false;           // and when each is one more than the one before
  std::vector<std::uint64_t> sorted_;  // otherwise counter and record number, packed
  std::size_t size_ = 0;
  std::size_t last_ = 0;  // where the last search ended
};

}  // namespace vorda
