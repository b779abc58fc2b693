#include "driver/series.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "driver/failure.hpp"
#include "driver/reader.hpp"
#include "driver/source.hpp"

namespace vorda {

namespace {

constexpr int kDataUnit = 1;

std::string_view without_trailing_blanks(std::string_view s) {
  std::size_t end = s.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1);
}

[[noreturn]] void fail_open(const std::string& reason) {
  throw RuntimeFailure(kDataUnit, "", reason);
}

}  // namespace

Source open_input(std::string_view infile) {
  const std::string name(without_trailing_blanks(infile));
  // A name holding a NUL byte names no file (the system would see a
  // shorter name).
  if (name.find('\0') != std::string::npos) fail_open("File '" + name + "' does not exist");

  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT) fail_open("File '" + name + "' does not exist");
    if (err == EACCES) fail_open("Permission denied trying to open file '" + name + "'");
    if (err == EISDIR) fail_open("'" + name + "' is a directory");
    fail_open(system_error_text(err));
  }
  // Opening a directory for reading succeeds; reading it would not.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    fail_open("'" + name + "' is a directory");
  }
  return Source(fd, kDataUnit, name);
}

void load_series(Source& in, Series& s) {
  const std::int32_t n = s.n;
  if (n > NMAX) throw std::logic_error("load_series: record count above the store's capacity");
  for (const auto* column : {&s.t, &s.d, &s.m, &s.yr}) {
    if (n >= 0 && column->size() <= static_cast<std::size_t>(n))
      throw std::logic_error("load_series: column shorter than the record count");
  }
  if (n >= 0 && s.x.size() <= static_cast<std::size_t>(n))
    throw std::logic_error("load_series: column shorter than the record count");

  for (std::int32_t i = 1; i <= n; ++i) {
    const Target record[] = {Target::integer(s.t[i]), Target::integer(s.d[i]),
                             Target::integer(s.m[i]), Target::integer(s.yr[i]),
                             Target::real(s.x[i])};
    read_list(in, record);
  }
  in.close();
}

}  // namespace vorda
