#include "plain_scan.hpp"

#include <algorithm>
#include <array>

namespace vorda {

namespace {

constexpr std::array<double, 9> kPow10{1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A field of 1 to `most` digits at `at`, ended by `end`; advances `at` past the end byte.
bool whole(std::string_view s, std::size_t& at, std::size_t most, char end, std::int64_t& out) {
  std::int64_t v = 0;
  std::size_t n = 0;
  while (at < s.size() && is_digit(s[at])) {
    if (++n > most) return false;
    v = v * 10 + (s[at++] - '0');
  }
  if (n == 0 || at >= s.size() || s[at] != end) return false;
  ++at;
  out = v;
  return true;
}

// The value at `at` up to its LF; advances `at` past the LF.
bool value(std::string_view s, std::size_t& at, double& out, int& places) {
  const bool minus = at < s.size() && s[at] == '-';
  if (minus) ++at;
  std::int64_t mantissa = 0;
  std::size_t width = 0, digits = 0;
  std::ptrdiff_t point = -1;
  for (; at < s.size() && s[at] != '\n'; ++at, ++width) {
    const char c = s[at];
    if (width >= 8) return false;
    if (is_digit(c)) {
      mantissa = mantissa * 10 + (c - '0');
      ++digits;
    } else if (c == '.' && point < 0) {
      point = static_cast<std::ptrdiff_t>(width);
    } else {
      return false;
    }
  }
  if (digits == 0 || at >= s.size()) return false;
  ++at;
  places = point < 0 ? 0 : static_cast<int>(width) - 1 - static_cast<int>(point);
  out = static_cast<double>(mantissa) / kPow10[static_cast<std::size_t>(places)];
  if (minus) out = -out;
  return true;
}

}  // namespace

std::size_t plain_lines(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::optional<int> scan_plain(std::string_view text, const PlainColumns& out) {
  int decimals = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; at < text.size(); ++i) {
    // A last line without its LF would be one line more than the LFs counted.
    if (i == out.size) return std::nullopt;
    int places;
    if (!whole(text, at, 8, ' ', out.t[i]) || !whole(text, at, 2, ' ', out.d[i]) ||
        !whole(text, at, 2, ' ', out.m[i]) || !whole(text, at, 4, ' ', out.yr[i]) ||
        !value(text, at, out.x[i], places)) {
      return std::nullopt;
    }
    decimals = std::max(decimals, places);
  }
  return decimals;
}

}  // namespace vorda
