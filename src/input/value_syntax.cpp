#include <cstring>
#include <limits>

#include "input/list_reader.hpp"

namespace vorda::list_input {

// Reals keep the digits of a run as mantissa digits, texts as characters.
void ListReader::keep_digits(Target::Kind kind, const char* first, const char* last) {
  if (kind == Target::Kind::Real) {
    for (; first < last; ++first) real_.add_integer_digit(*first);
  } else if (kind == Target::Kind::Character) {
    for (; first < last; ++first) push_text(*first);
  }
}

// Takes the digits after a real's point.
void ListReader::scan_fraction_digits() {
  do {
    const char* p = next_;
    for (; p < end_ && is_digit(*p); ++p) real_.add_fraction_digit(*p);
    next_ = p;
  } while (next_ == end_ && is_digit(refill()));
}

// [+|-]digits, nothing else. An integer never ends the source.
bool ListReader::take_integer(std::int32_t& out, bool have_digits, std::uint64_t magnitude) {
  bool negative = false;
  if (!have_digits) {
    int c = peek();
    if (c == '+' || c == '-') {
      negative = c == '-';
      skip();
    }
    if (!is_digit(peek())) fail_bad(ReadReason::BadInteger);
    magnitude = scan_digits(Target::Kind::Integer);
  }
  const int c = peek();
  if (!ends_value(c)) fail_bad(ReadReason::BadInteger);
  if (c < 0) fail(ReadReason::EndOfFile);  // before the range: no integer may end the source
  if (magnitude > kMaxInteger) fail(ReadReason::IntegerOverflow);
  std::int32_t v = static_cast<std::int32_t>(magnitude);
  out = negative ? -v : v;
  return false;
}

// [+|-] digits with at most one point, then an optional exponent (e, E, d, D
// or a bare sign, then digits); or inf, infinity, nan, nan(...).
// Returns whether the value may stand right before the end of the source:
// only one without exponent that began with a sign or a repeat count, or
// whose point follows a digit.
bool ListReader::take_real(double& out, bool have_digits, bool repeated) {
  bool negative = false;
  bool sign = false;
  if (!have_digits) {
    int c = peek();
    if (c == '+' || c == '-') {
      negative = c == '-';
      sign = true;
      skip();
      c = peek();
    }
    if (lower(c) == 'i' || lower(c) == 'n') {
      take_special_real(out, negative);
      return false;
    }
    have_digits = is_digit(c);
    scan_digits(Target::Kind::Real);
  }

  bool point = false;
  if (peek() == '.') {
    point = true;
    skip();
    scan_fraction_digits();
  }
  if (!have_digits && !point) fail_bad(ReadReason::BadReal);

  bool exponent = false;
  std::int64_t power = 0;
  int c = peek();
  if (c == 'e' || c == 'E' || c == 'd' || c == 'D' || c == '+' || c == '-') {
    exponent = true;
    if (c != '+' && c != '-') {
      skip();
      c = peek();
    }
    bool negative_power = false;
    if (c == '+' || c == '-') {
      negative_power = c == '-';
      skip();
      c = peek();
    }
    if (!is_digit(c)) fail_bad(ReadReason::BadReal);
    for (; is_digit(c); c = peek()) {
      skip();
      if (power < kExponentCap) power = power * 10 + (c - '0');
    }
    if (negative_power) power = -power;
  }
  if (!ends_value(peek())) fail_bad(ReadReason::BadReal);

  out = real_.value(negative, power);
  return !exponent && (sign || repeated || (point && have_digits));
}

// inf, infinity, nan or nan(...), in any case, directly followed by a
// separator.
void ListReader::take_special_real(double& out, bool negative) {
  if (lower(peek()) == 'i') {
    expect_letters("inf");
    if (!ends_value(peek())) expect_letters("inity");
    out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  } else {
    expect_letters("nan");
    if (peek() == '(') {
      skip();
      int c = peek();
      for (; c != ')' && !ends_value(c); c = peek()) skip();
      if (c != ')') fail_bad(ReadReason::BadReal);
      skip();
    }
    out = negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
  }
  if (!ends_value(peek())) fail_bad(ReadReason::BadReal);
}

void ListReader::expect_letters(const char* word) {
  for (; *word != '\0'; ++word) {
    if (lower(peek()) != *word) fail_bad(ReadReason::BadReal);
    skip();
  }
}

// An undelimited text runs to the next separator; a delimited one to its
// closing mark, which a separator must follow. A text never ends the source.
bool ListReader::take_text(const Target& t, bool have_digits) {
  int c = peek();
  if (!have_digits && (c == '\'' || c == '"')) {
    skip();
    take_delimited_text(c);
    if (!ends_value(peek())) fail(ReadReason::BadText);
  } else {
    for (; !ends_value(c); c = peek()) {
      skip();
      push_text(c);
    }
  }
  store_text(t);
  return false;
}

// Inside marks: a doubled mark is one mark, a line end is dropped.
void ListReader::take_delimited_text(int quote) {
  for (;;) {
    int c = peek();
    if (c < 0) fail(ReadReason::EndOfFile);
    if (is_line_end(c)) {
      skip_line_end();
      continue;
    }
    skip();
    if (c == quote) {
      if (peek() != quote) return;
      skip();
    }
    push_text(c);
  }
}

// Left-justified, cut or blank-filled to the target's length.
void ListReader::store_text(const Target& t) const {
  std::size_t n = text_length_ < t.length ? text_length_ : t.length;
  std::memcpy(t.c, text_.data(), n);
  std::memset(t.c + n, ' ', t.length - n);
}

void ListReader::size_text() {
  if (text_sized_) return;
  std::size_t longest = 0;
  for (const Target& t : targets_)
    if (t.kind == Target::Kind::Character && t.length > longest) longest = t.length;
  text_.resize(longest);
  text_sized_ = true;
}

}  // namespace vorda::list_input
