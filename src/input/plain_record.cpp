#include "input/plain_record.hpp"

#include <charconv>
#include <cstring>

#include "input/lexical.hpp"
#include "input/source.hpp"

namespace vorda {

namespace {

using lexical::kExactArithmetic, lexical::kExactDigits, lexical::kExactPowers, lexical::kMaxInteger;

// The lexical rules take bytes as unsigned char values.
int byte(char c) { return static_cast<unsigned char>(c); }
bool is_blank(char c) { return lexical::is_blank(byte(c)); }
bool is_comma(char c) { return lexical::is_comma(byte(c)); }
// The value of a digit byte; 10 or more for any other byte.
unsigned digit(char c) { return static_cast<unsigned char>(c) - unsigned{'0'}; }

// The line's LF stops every scan below, as it is neither a blank, nor a
// digit, nor a sign: no scan needs to look at where the line ends.
const char* skip_blanks(const char* p) {
  while (is_blank(*p)) ++p;
  return p;
}

// Blanks or tabs with at most one comma among them, after a value that is
// not the last: nullptr unless there is at least one separator byte.
const char* skip_separator(const char* p) {
  if (*p == ' ' && digit(p[1]) < 10) return p + 1;  // the usual one blank
  const char* const start = skip_blanks(p);
  if (is_comma(*start)) return skip_blanks(start + 1);
  return start == p ? nullptr : start;
}

// The digits from p on, appended to `value` (which wraps beyond 19 digits:
// callers check the count first).
const char* scan_digits(const char* p, std::uint64_t& value) {
  for (unsigned d; (d = digit(*p)) < 10; ++p) value = value * 10 + d;
  return p;
}

// [+|-]digits within 32 bits; nullptr otherwise. More than 18 digits (which
// only leading zeros could keep in range) are left to the general reader.
const char* parse_integer(const char* p, std::int32_t& out) {
  const bool negative = *p == '-';
  if (negative || *p == '+') ++p;
  std::uint64_t magnitude = 0;
  const char* const digits = p;
  p = scan_digits(p, magnitude);
  const auto count = p - digits;
  if (count == 0 || count > 18 || magnitude > kMaxInteger) return nullptr;
  const auto v = static_cast<std::int32_t>(magnitude);
  out = negative ? -v : v;
  return p;
}

// An integer that is not the last value, with the separator after it.
const char* parse_integer_field(const char* p, std::int32_t& out) {
  p = parse_integer(p, out);
  return p == nullptr ? nullptr : skip_separator(p);
}

// Integers below 10^15 and powers of ten up to 10^15 are exact doubles, so
// one division of the two is the correctly rounded quotient where doubles
// are computed in double precision: the same value std::from_chars gives,
// which serves every longer text.
// [+|-]digits[.digits] with at least one digit; nullptr otherwise.
const char* parse_real(const char* p, double& out) {
  const bool negative = *p == '-';
  if (negative || *p == '+') ++p;
  const char* const first = p;
  std::uint64_t mantissa = 0;
  p = scan_digits(p, mantissa);
  long digits = p - first;
  long fraction = 0;
  if (*p == '.') {
    const char* const point = p;
    p = scan_digits(p + 1, mantissa);
    fraction = p - point - 1;
    digits += fraction;
  }
  if (digits == 0) return nullptr;
  double magnitude = 0;
  if (kExactArithmetic && digits <= kExactDigits) {
    magnitude = static_cast<double>(mantissa) / kExactPowers[fraction];
  } else {
    // Out of range (hundreds of digits) is left to the general reader.
    const auto [last, ec] = std::from_chars(first, p, magnitude, std::chars_format::fixed);
    if (ec != std::errc() || last != p) return nullptr;
  }
  out = negative ? -magnitude : magnitude;
  return p;
}

}  // namespace

std::size_t parse_plain_record(std::string_view lines, PlainRecord& out) {
  if (lines.empty() || lines.back() != '\n') return 0;
  const char* const first = lines.data();
  const char* p = skip_blanks(first);
  if ((p = parse_integer_field(p, out.t)) == nullptr) return 0;
  if ((p = parse_integer_field(p, out.d)) == nullptr) return 0;
  if ((p = parse_integer_field(p, out.m)) == nullptr) return 0;
  if ((p = parse_integer_field(p, out.yr)) == nullptr) return 0;
  p = parse_real(p, out.x);
  if (p == nullptr) return 0;
  // The real must end at a separator. After it the rest of the line is
  // skipped, unless a CR ends the line there and then.
  if (*p != '\n') {
    if (!lexical::ends_value(byte(*p))) return 0;
    p = skip_blanks(p);
    if (*p == '\r') {
      if (*++p != '\n') return 0;
    } else if (*p != '\n') {
      p = static_cast<const char*>(
          std::memchr(p, '\n', static_cast<std::size_t>(lines.data() + lines.size() - p)));
    }
  }
  return static_cast<std::size_t>(p + 1 - first);
}

std::string_view buffered_lines(Source& in) {
  if (in.peek() < 0) return {};
  const std::string_view bytes = in.buffered();
  return bytes.substr(0, bytes.rfind('\n') + 1);
}

}  // namespace vorda
