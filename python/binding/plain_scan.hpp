#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vorda {

// Where the fields of a VORDA input in the toolkit's plain layout go: one
// entry per line, each column with room for `size` entries (plain_lines(text)).
struct PlainColumns {
  std::int64_t *t, *d, *m, *yr;
  double* x;
  std::size_t size;
};

// The lines of `text`: its LF bytes.
std::size_t plain_lines(std::string_view text);

// Reads into `out` `text` as lines of the plain layout the toolkit's converter writes:
// each line "t d m yr x" and an LF, single blanks between the fields; t of
// 1 to 8 digits, d and m of 1 or 2, yr of 1 to 4; x an optional minus and up
// to 8 digits and points, at most one point and at least one digit. An empty
// `text` has no lines. Anything else (a CR, a tab, a sign elsewhere, a wider
// field, text after x, a last line without its LF, more lines than the
// columns have room for) gives nullopt: the
// toolkit's careful reader then reads the file and names the line.
//
// Each x is its digits as a whole number divided by the power of ten of its
// places, negated after a minus: the double nearest the decimal, as the
// toolkit's numpy reader computes it. Returns the most places after a
// value's point. Dates are not checked here.
std::optional<int> scan_plain(std::string_view text, const PlainColumns& out);

}  // namespace vorda
