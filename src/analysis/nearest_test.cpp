#include "analysis/nearest.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

#include "support/series_builder.hpp"

namespace vorda {
namespace {

using testing::SeriesBuilder;

// The definition itself: the first record with the least distance.
std::int32_t linear_nearest(const Series& s, std::int64_t r) {
  std::int32_t best = 0;
  std::int64_t best_gap = std::numeric_limits<std::int64_t>::max();
  for (std::int32_t k = 1; k <= s.n; ++k) {
    const std::int64_t gap = s.t[k] > r ? s.t[k] - r : r - s.t[k];
    if (gap < best_gap) {
      best = k;
      best_gap = gap;
    }
  }
  return best;
}

TEST(NearestRecord, NoRecords) {
  EXPECT_EQ(NearestRecord(SeriesBuilder()).find(5), 0);
  EXPECT_EQ(NearestRecord(SeriesBuilder().values(2000, {1, 2}).count(-999)).find(5), 0);
}

TEST(NearestRecord, AgreesWithALinearSearch) {
  std::mt19937 rng(20240607);
  enum Shape { Consecutive, Rising, WithRepeats, Falling, Shuffled, NearTheLimits };
  for (const Shape shape : {Consecutive, Rising, WithRepeats, Falling, Shuffled, NearTheLimits}) {
    for (int round = 0; round < 40; ++round) {
      SCOPED_TRACE(::testing::Message() << "shape " << shape << " round " << round);
      const std::int32_t n = 1 + static_cast<std::int32_t>(rng() % 300);
      SeriesBuilder b;
      std::int64_t t = shape == NearTheLimits ? std::numeric_limits<std::int32_t>::max() - 2000
                                              : static_cast<std::int64_t>(rng() % 2000) - 1000;
      for (std::int32_t k = 0; k < n; ++k) {
        switch (shape) {
          case Consecutive:
            t += 1;
            break;
          case Rising:
            t += 1 + rng() % 5;
            break;
          case WithRepeats:
            t += rng() % 3;
            break;
          case Falling:
            t -= rng() % 4;
            break;
          case Shuffled:
            t = static_cast<std::int64_t>(rng() % 600) - 300;
            break;
          case NearTheLimits:
            t = rng() % 2 ? std::numeric_limits<std::int32_t>::max() - rng() % 50
                          : std::numeric_limits<std::int32_t>::min() + rng() % 50;
            break;
        }
        b.row(static_cast<std::int32_t>(t), 1, 1, 2000, 0.0);
      }
      const Series& s = b;
      NearestRecord nearest(s);
      std::int64_t lo = s.t[1];
      std::int64_t hi = s.t[1];
      for (std::int32_t k = 1; k <= n; ++k) {
        lo = std::min<std::int64_t>(lo, s.t[k]);
        hi = std::max<std::int64_t>(hi, s.t[k]);
      }
      for (int q = 0; q < 200; ++q) {
        const auto span = static_cast<std::uint64_t>(hi - lo + 21);
        const std::int64_t r = lo - 10 + static_cast<std::int64_t>(rng() % span);
        ASSERT_EQ(nearest.find(r), linear_nearest(s, r)) << "r = " << r;
      }
      for (int q = 0; q < 200; ++q) {
        const std::int64_t r = s.t[1 + static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(n))] +
                               static_cast<std::int64_t>(rng() % 5) - 2;
        ASSERT_EQ(nearest.find(r), linear_nearest(s, r)) << "r = " << r;
      }
      for (const std::int64_t r : {lo - 1, lo, hi, hi + 1, (lo + hi) / 2})
        ASSERT_EQ(nearest.find(r), linear_nearest(s, r)) << "r = " << r;
    }
  }
}

}  // namespace
}  // namespace vorda
