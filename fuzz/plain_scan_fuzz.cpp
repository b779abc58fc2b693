// Fuzz target for the binding's reader of the toolkit's plain layout: arbitrary
// bytes scanned as a VORDA input's lines. Checked on every input:
//   - the scan accepts exactly what an independent model of the layout says
//     (each line "t d m yr x" and an LF: single blanks, t of 1 to 8 digits,
//     d and m of 1 or 2, yr of 1 to 4, x an optional minus and at most 8
//     digits and points after it, one point at most, one digit at least);
//   - each accepted line gives the numbers its fields spell, x the C
//     library's correctly rounded conversion of its text, and the decimals
//     are the most places after a point.
// Writes beyond the columns are the sanitizers' to catch: the columns are
// exactly as long as the LFs counted.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "plain_scan.hpp"

namespace {

bool digits(std::string_view s, std::size_t least, std::size_t most) {
  return s.size() >= least && s.size() <= most &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The fields of one line (without its LF), or false where it is not plain.
bool model_line(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  for (std::size_t at = 0;;) {
    const std::size_t blank = line.find(' ', at);
    fields.push_back(line.substr(at, blank == std::string_view::npos ? std::string_view::npos : blank - at));
    if (blank == std::string_view::npos) break;
    at = blank + 1;
  }
  if (fields.size() != 5 || !digits(fields[0], 1, 8) || !digits(fields[1], 1, 2) ||
      !digits(fields[2], 1, 2) || !digits(fields[3], 1, 4)) {
    return false;
  }
  std::string_view x = fields[4];
  if (!x.empty() && x[0] == '-') x.remove_prefix(1);
  const auto points = std::count(x.begin(), x.end(), '.');
  return x.size() <= 8 && points <= 1 && digits(std::string(x.size() - points, '0'), 1, 8) &&
         std::all_of(x.begin(), x.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t n = vorda::plain_lines(text);
  // Exactly the room the toolkit gives: the sanitizers see a write past it.
  std::vector<std::int64_t> t(n), d(n), m(n), yr(n);
  std::vector<double> x(n);
  const auto decimals = vorda::scan_plain(text, {t.data(), d.data(), m.data(), yr.data(), x.data(), n});

  bool plain = text.empty() || text.back() == '\n';
  int most = 0;
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  for (std::size_t at = 0; plain && at < text.size(); ++i) {
    const std::size_t end = text.find('\n', at);
    plain = model_line(text.substr(at, end - at), fields);
    if (plain && decimals) {
      const auto whole = [](std::string_view s) { return std::strtoll(std::string(s).c_str(), nullptr, 10); };
      const std::string value(fields[4]);
      const std::size_t point = value.find('.');
      most = std::max(most, point == std::string::npos ? 0 : static_cast<int>(value.size() - point - 1));
      if (t[i] != whole(fields[0]) || d[i] != whole(fields[1]) || m[i] != whole(fields[2]) ||
          yr[i] != whole(fields[3]) || x[i] != std::strtod(value.c_str(), nullptr)) {
        std::abort();
      }
    }
    at = end + 1;
  }
  if (plain != decimals.has_value() || (decimals && *decimals != most)) std::abort();
  return 0;
}
