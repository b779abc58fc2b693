#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorda {

class Source;

// The five values of one record of the data file.
struct PlainRecord {
  std::int32_t t, d, m, yr;
  double x;
};

// Reads the first line of `lines`, which hold one or more whole lines and
// end with an LF, as a record in its plain form, and returns the length of
// that line with its LF when it is one, 0 otherwise (and for empty `lines`).
// The plain form: optional blanks or tabs, four integers and a real,
// separated by blanks or tabs with at most one comma or semicolon among
// them; integers are an optional sign and digits, at most 2147483647 in
// magnitude; the real is an optional sign and digits with at most one
// decimal point, at least one digit and no exponent. The real ends the
// line, or is followed by a separator after which the line is ignored; a CR
// may follow it (blanks between) only as the line's last byte.
//
// A plain line reads exactly as the free-format reader reads it as one
// record of four integers and a real, and that read ends after its LF.
// Everything else (a null value, a slash, a repeat count, a record over
// several lines, a value out of range, any other character) is "not plain"
// and left to the free-format reader, which applies every rule and names
// every failure; `out` is then unspecified.
std::size_t parse_plain_record(std::string_view lines, PlainRecord& out);

// The whole lines among the buffered bytes of `in`: from its position up to
// and including the last buffered LF; empty when there is none. A line that
// meets the end of the source or of the buffer is not among them. May read
// from the descriptor when nothing is buffered; a failing read(2) raises
// RuntimeFailure as Source::peek() does.
std::string_view buffered_lines(Source& in);

}  // namespace vorda
