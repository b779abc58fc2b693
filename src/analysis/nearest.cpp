#include "analysis/nearest.hpp"

#include <algorithm>
#include <cstdint>

namespace vorda {
namespace {

// A counter and its record number packed so that plain integer order is the
// order of the counters, then of the record numbers.
std::uint64_t pack(std::int32_t t, std::int32_t k) {
  const auto biased = static_cast<std::uint32_t>(t) ^ 0x8000'0000u;
  return (std::uint64_t{biased} << 32) | static_cast<std::uint32_t>(k);
}

std::int32_t time_of(std::uint64_t key) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(key >> 32) ^ 0x8000'0000u);
}

std::int32_t record_of(std::uint64_t key) { return static_cast<std::int32_t>(key & 0xffff'ffffu); }

}  // namespace

NearestRecord::NearestRecord(const SeriesView& s) {
  const std::int32_t n = s.last();
  if (n < 1) return;
  size_ = static_cast<std::size_t>(n);

  const std::int32_t* first = s.t.data() + 1;
  if (std::is_sorted(first, first + n)) {
    t_ = first;
    consecutive_ = std::adjacent_find(first, first + n, [](std::int32_t a, std::int32_t b) {
                     return std::int64_t{b} - a != 1;
                   }) == first + n;
    return;
  }
  sorted_.resize(size_);
  for (std::int32_t k = 1; k <= n; ++k) sorted_[static_cast<std::size_t>(k - 1)] = pack(s.t[k], k);
  std::sort(sorted_.begin(), sorted_.end());
}

std::int32_t NearestRecord::time_at(std::size_t pos) const { return t_ ? t_[pos] : time_of(sorted_[pos]); }

std::int32_t NearestRecord::record_at(std::size_t pos) const {
  return t_ ? static_cast<std::int32_t>(pos + 1) : record_of(sorted_[pos]);
}

std::size_t NearestRecord::first_not_below(std::int64_t r, std::size_t hint) const {
  // Bracket the answer in [lo, hi] with steps that double away from the hint.
  std::size_t lo = 0;
  std::size_t hi = size();
  if (hint < size() && time_at(hint) < r) {
    lo = hint + 1;
    for (std::size_t step = 1; hint + step < size(); step *= 2) {
      if (time_at(hint + step) >= r) {
        hi = hint + step;
        break;
      }
      lo = hint + step + 1;
    }
  } else {
    hi = std::min(hint, size());
    for (std::size_t step = 1; step <= hint; step *= 2) {
      if (time_at(hint - step) < r) {
        lo = hint - step + 1;
        break;
      }
      hi = hint - step;
    }
  }
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (time_at(mid) < r) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

std::int32_t NearestRecord::find(std::int64_t r) {
  if (size() == 0) return 0;
  if (consecutive_) {
    // Counter t(1) + k - 1 is record k: r itself, or the end nearer to it.
    const std::int64_t k = std::clamp<std::int64_t>(r - t_[0] + 1, 1, static_cast<std::int64_t>(size()));
    return static_cast<std::int32_t>(k);
  }
  // Within a counter the positions run in record order, so the first
  // position of a counter holds its first record.
  const std::size_t above = first_not_below(r, last_);
  last_ = above;
  if (above == 0) return record_at(0);
  const std::int32_t below_time = time_at(above - 1);
  const std::int32_t below = record_at(first_not_below(below_time, above - 1));
  if (above == size()) return below;

  const std::int64_t below_gap = r - below_time;
  const std::int64_t above_gap = std::int64_t{time_at(above)} - r;
  if (below_gap < above_gap) return below;
  if (above_gap < below_gap) return record_at(above);
  return std::min(below, record_at(above));
}

}  // namespace vorda
