#include "driver/reader.hpp"

#include <array>
#include <cfloat>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>

#include "driver/failure.hpp"

namespace vorda {

namespace {

constexpr std::uint64_t kMaxRepeat = 200000000;
constexpr std::uint64_t kMaxInteger = 2147483647;
// Digit runs are accumulated up to here; anything larger is too large for
// every use (a repeat count, an integer) and stays above this bound.
constexpr std::uint64_t kDigitCap = 100000000000;  // 1e11
constexpr std::int64_t kExponentCap = 1000000000000000;  // 1e15

bool is_blank(int c) { return c == ' ' || c == '\t'; }
bool is_line_end(int c) { return c == '\n' || c == '\r'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_comma(int c) { return c == ',' || c == ';'; }

// A value ends at a blank, tab, comma, semicolon, slash, line end or the end
// of the source.
bool ends_value(int c) {
  switch (c) {
    case -1:
    case ' ':
    case '\t':
    case ',':
    case ';':
    case '/':
    case '\n':
    case '\r':
      return true;
    default:
      return false;
  }
}

int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

const char* kind_name(Target::Kind k) {
  switch (k) {
    case Target::Kind::Integer:
      return "INTEGER";
    case Target::Kind::Real:
      return "REAL";
    case Target::Kind::Character:
      return "CHARACTER";
  }
  return "";
}

// The digits of a real number's text as an integer D and a power of ten,
// value = D * 10^scale, converted with correct rounding. Leading zeros are
// dropped. Past kKeep significant digits only whether a dropped digit was
// non-zero is kept: a halfway point between two doubles has fewer than 770
// significant digits, so a 1 standing for the dropped tail rounds the same.
class RealText {
 public:
  void clear() {
    count_ = 0;
    scale_ = 0;
    sticky_ = false;
    small_ = 0;
  }

  void add_integer_digit(int c) {
    if (count_ == 0 && c == '0') return;
    if (count_ < kKeep) {
      keep(c);
    } else {
      ++scale_;
      if (c != '0') sticky_ = true;
    }
  }

  void add_fraction_digit(int c) {
    if (count_ == 0 && c == '0') {
      --scale_;
    } else if (count_ < kKeep) {
      keep(c);
      --scale_;
    } else if (c != '0') {
      sticky_ = true;
    }
  }

  // The nearest double to D * 10^(scale + power), with the given sign; too
  // large gives an infinity, too small a zero.
  double value(bool negative, std::int64_t power) {
    double magnitude = 0.0;
    std::int64_t e = scale_ + power;
    if (kExactArithmetic && count_ <= kExactDigits && e >= -kExactPower && e <= kExactPower) {
      // D and the power of ten are exact doubles: one rounding, the right one.
      magnitude = static_cast<double>(small_);
      magnitude = e < 0 ? magnitude / kPowers[-e] : magnitude * kPowers[e];
    } else if (count_ > 0) {
      int n = count_;
      if (sticky_) {
        digits_[n++] = '1';
        --e;
      }
      const std::int64_t lead = e + n;  // value = 0.D * 10^lead
      if (lead > 400) {
        magnitude = std::numeric_limits<double>::infinity();
      } else if (lead >= -400) {
        char* text = digits_.data();
        text[n++] = 'e';
        char* last = std::to_chars(text + n, text + digits_.size(), e).ptr;
        if (std::from_chars(text, last, magnitude).ec == std::errc::result_out_of_range)
          magnitude = lead > 0 ? std::numeric_limits<double>::infinity() : 0.0;
      }
    }
    return negative ? -magnitude : magnitude;
  }

 private:
  static constexpr int kKeep = 800;
  // Integers of up to 15 digits and powers of ten up to 10^22 are exact
  // doubles; one multiplication or division of them rounds correctly where
  // doubles are computed in double precision.
  static constexpr bool kExactArithmetic = FLT_EVAL_METHOD == 0;
  static constexpr int kExactDigits = 15;
  static constexpr int kExactPower = 22;
  static constexpr double kPowers[kExactPower + 1] = {
      1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

  void keep(int c) {
    digits_[count_++] = static_cast<char>(c);
    if (count_ <= kExactDigits) small_ = small_ * 10 + static_cast<std::uint64_t>(c - '0');
  }

  // The kept digits, room for the sticky digit, and "e" with an exponent.
  std::array<char, kKeep + 32> digits_;
  int count_ = 0;
  std::int64_t scale_ = 0;
  bool sticky_ = false;
  std::uint64_t small_ = 0;  // D while it has at most kExactDigits digits
};

// The state of one list read over `in`.
class ListReader {
 public:
  ListReader(Source& in, std::span<const Target> targets, std::source_location where)
      : in_(in), targets_(targets), where_(where) {}
  ListReader(const ListReader&) = delete;
  ListReader& operator=(const ListReader&) = delete;
  ~ListReader() { give_back(); }

  void read();

 private:
  enum class Start { Value, Null, Slash };

  Start find_value(bool first);
  void take_value(const Target& t);
  void after_value(bool may_end_source);
  void finish();

  // Takes the digits at the current position, a buffered run at a time, and
  // returns their value (capped), which serves integers and repeat counts.
  // A run that ends inside the buffer ends the digits: no further look at
  // the byte after it.
  std::uint64_t scan_digits(Target::Kind kind) {
    std::uint64_t value = 0;
    do {
      const char* const run = next_;
      const char* p = run;
      for (; p < end_ && is_digit(*p); ++p) {
        if (value <= kDigitCap) value = value * 10 + static_cast<std::uint64_t>(*p - '0');
      }
      next_ = p;
      if (kind != Target::Kind::Integer) keep_digits(kind, run, p);
    } while (next_ == end_ && is_digit(refill()));
    return value;
  }
  void keep_digits(Target::Kind kind, const char* first, const char* last);
  void scan_fraction_digits();
  bool take_integer(std::int32_t& out, bool have_digits, std::uint64_t magnitude);
  bool take_real(double& out, bool have_digits, bool repeated);
  void take_special_real(double& out, bool negative);
  void expect_letters(const char* word);
  bool take_text(const Target& t, bool have_digits);
  void take_delimited_text(int quote);
  void start_value(Target::Kind kind) {
    if (kind == Target::Kind::Real) real_.clear();
    if (kind == Target::Kind::Character) size_text();
    text_length_ = 0;
  }
  void size_text();
  void push_text(int c) {
    if (text_length_ < text_.size()) text_[text_length_] = static_cast<char>(c);
    ++text_length_;
  }
  void store_text(const Target& t) const;
  void remember_repeat(const Target& t, std::uint64_t left);
  void give_repeated(const Target& t);

  // The reader walks the source's buffered bytes with its own cursor and
  // hands the bytes it took back to the source when it needs more, before a
  // line end is skipped, and when the read ends.
  int peek() { return next_ < end_ ? static_cast<unsigned char>(*next_) : refill(); }
  void skip() { ++next_; }
  void give_back() {
    in_.skip(static_cast<std::size_t>(next_ - begin_));
    begin_ = next_ = end_ = nullptr;
  }
  int refill() {
    give_back();
    int c = in_.peek();
    if (c >= 0) {
      std::string_view bytes = in_.buffered();
      begin_ = next_ = bytes.data();
      end_ = bytes.data() + bytes.size();
    }
    return c;
  }

  // Passes over blanks and tabs; returns the byte after them (-1 at the end
  // of the source).
  int skip_blanks() {
    int c = peek();
    for (; is_blank(c); c = peek()) skip();
    return c;
  }
  void skip_line_end() {
    if (peek() == '\r') {
      give_back();
      in_.skip_cr();
    } else {
      skip();
    }
  }
  // Passes over line ends, blanks and tabs; returns the byte after them.
  int skip_empty_lines() {
    int c = peek();
    for (; is_blank(c) || is_line_end(c); c = peek()) skip_line_end();
    return c;
  }

  [[noreturn]] void fail(const std::string& reason) const {
    throw RuntimeFailure(in_.unit(), in_.name(), reason, where_);
  }
  [[noreturn]] void fail_end() const { fail("End of file"); }
  [[noreturn]] void fail_item(const char* before, const char* after) const {
    fail(before + std::to_string(item_) + after);
  }
  // A value cut short by the end of the source is an end of file; one with a
  // character that does not belong is malformed.
  [[noreturn]] void fail_bad_integer() {
    if (peek() < 0) fail_end();
    fail_item("Bad integer for item ", " in list input");
  }
  [[noreturn]] void fail_bad_real() {
    if (peek() < 0) fail_end();
    fail_item("Bad real number in item ", " of list input");
  }

  Source& in_;
  std::span<const Target> targets_;
  std::source_location where_;
  const char* begin_ = nullptr;  // the bytes from begin_ to next_ are taken
  const char* next_ = nullptr;
  const char* end_ = nullptr;
  std::size_t item_ = 0;

  // Separator state: the last separator was a line end / a comma; a slash
  // ended the list.
  bool at_line_end_ = false;
  bool after_comma_ = false;
  bool slashed_ = false;

  // A value being repeated over the following targets (r*c), or r* nulls.
  std::uint64_t repeat_left_ = 0;
  bool repeat_null_ = false;
  Target::Kind repeat_kind_ = Target::Kind::Integer;
  std::int32_t repeat_integer_ = 0;
  double repeat_real_ = 0.0;

  RealText real_;
  // The current text value, kept up to the longest text target of the read:
  // a repeated text may go on to a longer target than the one it was read
  // for. Sized when the read meets its first text value.
  std::string text_;
  bool text_sized_ = false;
  std::size_t text_length_ = 0;
};

void ListReader::read() {
  for (std::size_t k = 0; k < targets_.size(); ++k) {
    item_ = k + 1;
    const Target& t = targets_[k];
    if (repeat_left_ > 0) {
      --repeat_left_;
      give_repeated(t);
    } else if (!slashed_ && find_value(k == 0) == Start::Value) {
      take_value(t);
    }
  }
  finish();
}

// Moves to the first byte of the current target's value. A comma where the
// value should start is a null value, a slash ends the list; both are taken.
ListReader::Start ListReader::find_value(bool first) {
  int c = skip_blanks();
  // Line ends before the first value, or after a line end that separated the
  // previous value, are passed over together with one comma after them.
  if (at_line_end_ || (first && is_line_end(c))) {
    c = skip_empty_lines();
    if (is_comma(c)) {
      skip();
      after_comma_ = true;
    }
  }
  // A line end after a comma is not a value: the value is on a later line.
  if (after_comma_) {
    c = skip_blanks();
    if (is_line_end(c)) skip_empty_lines();
    c = peek();
  }
  at_line_end_ = false;
  if (c < 0) fail_end();
  if (is_comma(c)) {
    skip();
    after_comma_ = true;
    return Start::Null;
  }
  after_comma_ = false;
  if (c == '/') {
    skip();
    slashed_ = true;
    return Start::Slash;
  }
  return Start::Value;
}

// Reads the separator after a value. `may_end_source` says whether the value
// just taken may be followed by the end of the source instead of a line end.
void ListReader::after_value(bool may_end_source) {
  const int c = skip_blanks();
  at_line_end_ = after_comma_ = false;
  if (c < 0) {
    if (!may_end_source) fail_end();
    at_line_end_ = true;
  } else if (is_comma(c)) {
    skip();
    after_comma_ = true;
  } else if (c == '/') {
    skip();
    slashed_ = true;
  } else if (is_line_end(c)) {
    skip_line_end();
    at_line_end_ = true;
  }
}

// Unless the last value ended its line, the rest of the line is skipped, up
// to and including the next LF.
void ListReader::finish() {
  give_back();
  if (!at_line_end_ && !in_.skip_past_lf()) fail_end();
}

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

void ListReader::take_value(const Target& t) {
  start_value(t.kind);
  bool have_digits = false;
  bool repeated = false;
  std::uint64_t count = 1;
  std::uint64_t digits = 0;

  if (is_digit(peek())) {
    digits = scan_digits(t.kind);
    have_digits = true;
    if (peek() == '*') {
      skip();
      if (digits == 0) fail_item("Zero repeat count in item ", " of list input");
      if (digits > kMaxRepeat) fail_item("Repeat count overflow in item ", " of list input");
      count = digits;
      repeated = true;
      have_digits = false;
      start_value(t.kind);
      if (ends_value(peek())) {
        // r* alone: r null values.
        repeat_left_ = count - 1;
        repeat_null_ = true;
        after_value(false);
        return;
      }
    }
  }

  bool may_end_source = false;
  switch (t.kind) {
    case Target::Kind::Integer:
      may_end_source = take_integer(*t.i, have_digits, digits);
      break;
    case Target::Kind::Real:
      may_end_source = take_real(*t.r, have_digits, repeated);
      break;
    case Target::Kind::Character:
      may_end_source = take_text(t, have_digits);
      break;
  }
  if (repeated) remember_repeat(t, count - 1);
  after_value(may_end_source);
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
    if (!is_digit(peek())) fail_bad_integer();
    magnitude = scan_digits(Target::Kind::Integer);
  }
  const int c = peek();
  if (!ends_value(c)) fail_bad_integer();
  if (c < 0) fail_end();  // before the range: no integer may end the source
  if (magnitude > kMaxInteger) fail_item("Integer overflow while reading item ", "");
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
  if (!have_digits && !point) fail_bad_real();

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
    if (!is_digit(c)) fail_bad_real();
    for (; is_digit(c); c = peek()) {
      skip();
      if (power < kExponentCap) power = power * 10 + (c - '0');
    }
    if (negative_power) power = -power;
  }
  if (!ends_value(peek())) fail_bad_real();

  out = real_.value(negative, power);
  return !exponent && (sign || repeated || (point && have_digits));
}

// inf, infinity, nan or nan(...), in any case, directly followed by a
// separator.
void ListReader::take_special_real(double& out, bool negative) {
  if (lower(peek()) == 'i') {
    expect_letters("inf");
    if (!ends_value(peek())) expect_letters("inity");
    out = negative ? -std::numeric_limits<double>::infinity()
                   : std::numeric_limits<double>::infinity();
  } else {
    expect_letters("nan");
    if (peek() == '(') {
      skip();
      int c = peek();
      for (; c != ')' && !ends_value(c); c = peek()) skip();
      if (c != ')') fail_bad_real();
      skip();
    }
    out = negative ? -std::numeric_limits<double>::quiet_NaN()
                   : std::numeric_limits<double>::quiet_NaN();
  }
  if (!ends_value(peek())) fail_bad_real();
}

void ListReader::expect_letters(const char* word) {
  for (; *word != '\0'; ++word) {
    if (lower(peek()) != *word) fail_bad_real();
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
    if (!ends_value(peek())) fail_item("Invalid string input in item ", "");
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
    if (c < 0) fail_end();
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

// The value just taken goes on to the next `left` targets.
void ListReader::remember_repeat(const Target& t, std::uint64_t left) {
  repeat_left_ = left;
  repeat_null_ = false;
  repeat_kind_ = t.kind;
  if (t.kind == Target::Kind::Integer) repeat_integer_ = *t.i;
  if (t.kind == Target::Kind::Real) repeat_real_ = *t.r;
}

void ListReader::give_repeated(const Target& t) {
  if (repeat_null_) return;
  if (t.kind != repeat_kind_) {
    fail(std::string("Read type ") + kind_name(repeat_kind_) + " where " + kind_name(t.kind) +
         " was expected for item " + std::to_string(item_));
  }
  switch (t.kind) {
    case Target::Kind::Integer:
      *t.i = repeat_integer_;
      break;
    case Target::Kind::Real:
      *t.r = repeat_real_;
      break;
    case Target::Kind::Character:
      store_text(t);
      break;
  }
}

}  // namespace

void read_list(Source& in, std::span<const Target> targets, std::source_location where) {
  try {
    ListReader(in, targets, where).read();
  } catch (const RuntimeFailure& f) {
    // A failing read(2) is reported by the source; name the read statement.
    throw RuntimeFailure(f.unit(), f.file(), f.reason(), where);
  }
}

}  // namespace vorda
