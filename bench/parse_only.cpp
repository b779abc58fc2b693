// The floor the benchmark measures vorda against: reads a data file of
// records "t d m yr x" and converts the five values of each of its first N
// records with std::from_chars, and does nothing else. No free-format rules,
// no store, no output beyond one checksum line, so that nothing it does can
// be left out of a program that must read the same records.
// Usage: parse_only FILE N
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* skip_separators(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == ',')) ++p;
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: parse_only FILE N\n");
    return 2;
  }
  const long n = std::strtol(argv[2], nullptr, 10);
  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[1]);
    return 2;
  }
  std::string bytes;
  char block[1 << 16];
  for (ssize_t got; (got = ::read(fd, block, sizeof block)) > 0;)
    bytes.append(block, static_cast<std::size_t>(got));
  ::close(fd);

  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  std::int64_t integers = 0;
  double reals = 0;
  for (long k = 0; k < n && p < end; ++k) {
    for (int i = 0; i < 4; ++i) {
      std::int32_t v = 0;
      p = std::from_chars(skip_separators(p, end), end, v).ptr;
      integers += v;
    }
    double x = 0;
    p = std::from_chars(skip_separators(p, end), end, x).ptr;
    reals += x;
    while (p < end && *p++ != '\n') {
    }
  }
  std::printf("%lld %.17g\n", static_cast<long long>(integers), reals);
  return 0;
}
