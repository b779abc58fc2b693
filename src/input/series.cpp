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
#include "input/reader.hpp"
#include "input/source.hpp"

namespace vorda {

namespace {

std::string_view without_trailing_blanks(std::string_view s) {
  std::size_t end = s.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1);
}

}  // namespace

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

  for (std::int32_t i = 1; i <= n; ++i) {
    const Target record[] = {Target::integer(s.t[i]), Target::integer(s.d[i]),
                             Target::integer(s.m[i]), Target::integer(s.yr[i]),
                             Target::real(s.x[i])};
    read_list(in, record);
  }
  in.close();
}

}  // namespace vorda
