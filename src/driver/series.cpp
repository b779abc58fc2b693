#include "driver/series.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "driver/failure.hpp"
#include "driver/plain_record.hpp"
#include "driver/reader.hpp"
#include "driver/source.hpp"

namespace vorda {

namespace {

constexpr int kDataUnit = 1;

std::string_view without_trailing_blanks(std::string_view s) {
  std::size_t end = s.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1);
}

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

Source open_input(std::string_view infile, std::source_location where) {
  const std::string name(without_trailing_blanks(infile));
  // A name holding a NUL byte names no file (the system would see a
  // shorter name).
  const bool nameable = name.find('\0') == std::string::npos;
  int fd = nameable ? ::open(name.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  int err = nameable ? errno : ENOENT;
  // Opening a directory for reading succeeds; reading it would not.
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    fd = -1;
    err = EISDIR;
  }
  if (fd < 0) throw RuntimeFailure(kDataUnit, "", open_failure_reason(err, name), where);
  return Source(fd, kDataUnit, name);
}

void load_series(Source& in, Series& s) {
  const std::int32_t n = s.n;
  if (n > NMAX) throw std::logic_error("load_series: record count above the store's capacity");

  // Plain lines, nearly all of a data file, are read a buffer at a time by
  // the fast path; the free-format reader takes every other line with all
  // its rules, and the line that meets the end of the buffer.
  const std::source_location where = std::source_location::current();
  for (std::int32_t i = 1; i <= n;) {
    std::string_view lines;
    try {
      lines = buffered_lines(in);
    } catch (const RuntimeFailure& f) {
      throw RuntimeFailure(f.unit(), f.file(), f.reason(), where);
    }
    std::size_t used = 0;
    PlainRecord r;
    for (std::size_t length; i <= n && (length = parse_plain_record(lines.substr(used), r)) > 0; ++i) {
      s.t[i] = r.t;
      s.d[i] = r.d;
      s.m[i] = r.m;
      s.yr[i] = r.yr;
      s.x[i] = r.x;
      used += length;
    }
    in.skip(used);
    if (i > n || (used > 0 && used == lines.size())) continue;
    const Target record[] = {Target::integer(s.t[i]), Target::integer(s.d[i]),
                             Target::integer(s.m[i]), Target::integer(s.yr[i]),
                             Target::real(s.x[i])};
    read_list(in, record, where);
    ++i;
  }
  in.close();
}

}  // namespace vorda
