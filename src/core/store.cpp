#include "core/store.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace vorda {

namespace {

// The store's block: the five columns, rounded up to whole 2 MiB pages so
// that the system may back it with huge pages. A fresh process pays for
// every page it touches, and the store is touched in full at the start.
constexpr std::size_t kSlots = NMAX + 1;
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kBlockBytes =
    (kSlots * (sizeof(double) + 4 * sizeof(std::int32_t)) + kHugePage - 1) / kHugePage * kHugePage;

void* allocate_block() {
  void* block = std::aligned_alloc(kHugePage, kBlockBytes);
  if (block == nullptr) throw std::bad_alloc();
  ::madvise(block, kBlockBytes, MADV_HUGEPAGE);  // a hint; fine if refused
  return block;
}

}  // namespace

void Series::Release::operator()(void* block) const { std::free(block); }

Series::Series() : block_(allocate_block()) {
  auto* base = static_cast<std::byte*>(block_.get());
  x = {reinterpret_cast<double*>(base), kSlots};
  base += kSlots * sizeof(double);
  for (std::span<std::int32_t>* column : {&t, &d, &m, &yr}) {
    *column = {reinterpret_cast<std::int32_t*>(base), kSlots};
    base += kSlots * sizeof(std::int32_t);
  }
  std::fill(x.begin(), x.end(), -999.0);
  for (auto column : {t, d, m, yr}) std::fill(column.begin(), column.end(), kUnset);
}

Series::Series(const Series& other) : Series() { *this = other; }

Series& Series::operator=(const Series& other) {
  n = other.n;
  std::copy(other.x.begin(), other.x.end(), x.begin());
  std::copy(other.t.begin(), other.t.end(), t.begin());
  std::copy(other.d.begin(), other.d.end(), d.begin());
  std::copy(other.m.begin(), other.m.end(), m.begin());
  std::copy(other.yr.begin(), other.yr.end(), yr.begin());
  return *this;
}

}  // namespace vorda
