#include "input/series.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/failure.hpp"
#include "core/units.hpp"
#include "input/plain_record.hpp"
#include "input/reader.hpp"
#include "input/source.hpp"

namespace vorda {

namespace {

std::string_view without_trailing_blanks(std::string_view s) {
  std::size_t end = s.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1);
}

}  // namespace

Source open_input(std::string_view infile, SourceLocation where) {
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
  const SourceLocation where = SourceLocation::current();
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
    read_list(in,
              {Target::integer(s.t[i]), Target::integer(s.d[i]), Target::integer(s.m[i]),
               Target::integer(s.yr[i]), Target::real(s.x[i])},
              where);
    ++i;
  }
  in.close();
}

}  // namespace vorda
