#include "output/format.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "output/exact_fixed.hpp"

namespace vorda {

namespace {

// Reads a format text left to right; every complaint names the text and the
// position, since a malformed format is a mistake in the program itself.
class FormatCursor {
 public:
  explicit FormatCursor(std::string_view text) : text_(text) {}

  [[noreturn]] void fail(const char* why) const {
    throw std::invalid_argument("malformed format text \"" + std::string(text_) +
                                "\" at position " + std::to_string(pos_) + ": " + why);
  }

  bool at_end() const { return pos_ == text_.size(); }

  // The next character, letters folded to lower case.
  char next() {
    if (at_end()) fail("unexpected end");
    const char c = text_[pos_++];
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }

  void expect(char wanted) {
    if (next() != wanted) {
      --pos_;
      fail(wanted == '.' ? "expected '.'" : "unexpected character");
    }
  }

  // An unsigned decimal number, or -1 when no digit follows.
  int number() {
    int value = -1;
    int digits = 0;
    while (!at_end() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      if (++digits > 9) fail("number too large");
      value = (value < 0 ? 0 : value * 10) + (text_[pos_++] - '0');
    }
    return value;
  }

  int required_number() {
    const int value = number();
    if (value < 0) fail("expected a number");
    return value;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The digits of a real's magnitude: magnitude = 0.D1 D2 ... D38 times ten to
// the power `exponent`, digits past the ones known being zero. An exact zero
// has all digits 0 and exponent 0.
constexpr std::size_t kSignificantDigits = 38;

struct DecimalDigits {
  std::array<char, kSignificantDigits> digits;
  int exponent;
};

// Reads the scientific form of std::to_chars ("D.DDDe+XX", or "De+XX" for a
// single digit) and returns how many digits it holds.
std::size_t read_scientific(const char* first, const char* end, DecimalDigits& result) {
  // The exponent has a sign and two or three digits.
  const char* e = end[-4] == 'e' ? end - 4 : end - 5;
  result.digits.fill('0');
  result.digits[0] = first[0];
  std::size_t count = 1;
  if (e != first + 1) {  // "D.DDD"
    std::copy(first + 2, e, result.digits.begin() + 1);
    count = static_cast<std::size_t>(e - first - 1);
  }
  int exponent = 0;
  for (const char* p = e + 2; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  result.exponent = (e[1] == '-' ? -exponent : exponent) + 1;
  return count;
}

// Whether the shortest round-trip digits S of a normal double X give the same
// field with `decimals` fraction digits as X's 38-digit expansion. Rounding
// half up at the last place only jumps at the midpoints M between two
// neighbouring results; S, X and the 38-digit expansion all lie in the
// interval of reals that read back as X, so the results agree whenever no
// such M lies in that interval. With E the exponent, M has at most
// E + decimals + 1 significant digits, and it stays out of the interval
//  - when S has more digits than that: a number with fewer digits in the
//    interval would have been the shortest form;
//  - when S has no more digits than that, is not M itself, and M has at most
//    15 digits: S and M then differ by at least 1e-15 * 10^E, more than the
//    interval's width of at most 2.3e-16 * 10^E.
// When even the first digit lies past the last place, every field is zero.
bool shortest_digits_suffice(const DecimalDigits& shortest, std::size_t count, int decimals) {
  const long last_place = static_cast<long>(shortest.exponent) + decimals;
  if (last_place < 0) return true;
  const auto midpoint_digits = static_cast<std::size_t>(last_place) + 1;
  if (count > midpoint_digits) return true;
  if (midpoint_digits > 15) return false;
  return count < midpoint_digits || shortest.digits[count - 1] != '5';
}

// The digits of `magnitude` for a field with `decimals` fraction digits: the
// 38-digit expansion, or the shortest form where that yields the same field
// (it is twice as fast to produce).
DecimalDigits decimal_digits(double magnitude, int decimals) {
  DecimalDigits result;
  if (magnitude == 0) {
    result.digits.fill('0');
    result.exponent = 0;
    return result;
  }
  char buffer[64];
  if (magnitude >= std::numeric_limits<double>::min()) {
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                                   std::chars_format::scientific)
                         .ptr;
    const std::size_t count = read_scientific(buffer, end, result);
    if (shortest_digits_suffice(result, count, decimals)) return result;
  }
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                                 std::chars_format::scientific, kSignificantDigits - 1)
                       .ptr;
  read_scientific(buffer, end, result);
  return result;
}

// Writes the digits of a field left to right, with the point after the
// integer digits (first, when there are none).
class DigitWriter {
 public:
  DigitWriter(char* p, std::size_t integer_digits) : p_(p), before_point_(integer_digits) {
    if (before_point_ == 0) *p_++ = '.';
  }

  void put(const char* digits, std::size_t count) {
    if (before_point_ > 0) {
      const std::size_t n = std::min(count, before_point_);
      p_ = std::copy_n(digits, n, p_);
      digits += n;
      count -= n;
      if ((before_point_ -= n) == 0) *p_++ = '.';
    }
    p_ = std::copy_n(digits, count, p_);
  }

  void put_zeros(std::size_t count) {
    if (before_point_ > 0) {
      const std::size_t n = std::min(count, before_point_);
      p_ = std::fill_n(p_, n, '0');
      count -= n;
      if ((before_point_ -= n) == 0) *p_++ = '.';
    }
    p_ = std::fill_n(p_, count, '0');
  }

 private:
  char* p_;
  std::size_t before_point_;
};

// Grows `out` by `count` blanks and returns where they start. Every field
// is written through this, together with the blanks pending before it, so
// that a field costs one append.
char* grow(std::string& out, std::size_t count) {
  const std::size_t size = out.size();
  out.resize(size + count, ' ');
  return out.data() + size;
}

void append_text(std::string& out, std::size_t blanks, std::string_view text, int w) {
  const std::size_t width = w == 0 ? text.size() : static_cast<std::size_t>(w);
  const std::size_t shown = std::min(width, text.size());
  char* p = grow(out, blanks + width) + blanks + (width - shown);
  std::copy_n(text.data(), shown, p);
}

void append_integer(std::string& out, std::size_t blanks, std::int32_t v, int w) {
  char buffer[16];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
  const auto length = static_cast<std::size_t>(end - buffer);
  const std::size_t width = w == 0 ? length : static_cast<std::size_t>(w);
  char* p = grow(out, blanks + width) + blanks;
  if (length > width) {
    std::fill_n(p, width, '*');
  } else {
    std::copy_n(buffer, length, p + (width - length));
  }
}

void append_not_finite(std::string& out, std::size_t blanks, double v, int w) {
  const std::size_t width = w == 0 ? 4 : static_cast<std::size_t>(w);
  char* p = grow(out, blanks + width) + blanks;
  char* const end = p + width;
  if (width < 3) {
    std::fill_n(p, width, '*');
    return;
  }
  if (std::isnan(v)) {
    std::copy_n("NaN", 3, end - 3);
    return;
  }
  const std::string_view word = width > 8 ? "Infinity" : "Inf";
  std::copy(word.begin(), word.end(), end - word.size());
  if (width > word.size()) {
    end[-1 - static_cast<std::ptrdiff_t>(word.size())] = v < 0 ? '-' : '+';
  } else if (v < 0) {
    // No room for the sign: a positive infinity goes without, a negative
    // one cannot be shown.
    std::fill_n(p, width, '*');
  }
}

void append_fixed(std::string& out, std::size_t blanks, double v, int w, int d,
                  bool integer_path = true) {
  if (!std::isfinite(v)) {
    append_not_finite(out, blanks, v, w);
    return;
  }
  const bool negative = std::signbit(v);
  const double magnitude = std::fabs(v);
  if (const auto scaled = integer_path ? exact_scaled(magnitude, d) : std::nullopt) {
    const std::size_t width = w == 0 ? scaled_field_length(negative, *scaled, d) : static_cast<std::size_t>(w);
    write_scaled_field(grow(out, blanks + width) + blanks, width, negative, *scaled, d);
    return;
  }
  DecimalDigits decimal = decimal_digits(magnitude, d);
  const long exponent = decimal.exponent;
  const auto decimals = static_cast<std::size_t>(d);

  // Kept positions: the integer digits and `decimals` fraction digits. Below
  // one, the fraction starts with zeros that are not in the digit string.
  std::size_t integer_digits = exponent > 0 ? static_cast<std::size_t>(exponent) : 0;
  std::size_t inserted_zeros =
      exponent > 0 ? 0 : std::min(decimals, static_cast<std::size_t>(-exponent));
  const std::size_t taken = integer_digits + decimals - inserted_zeros;
  const std::size_t significant = std::min(taken, kSignificantDigits);

  // Round half away from zero on the first dropped digit. That digit is an
  // inserted zero when even D1 lies past it, and nothing past the 38th
  // digit is used: those positions are zero.
  const bool beyond_last_place =
      exponent <= 0 && static_cast<std::size_t>(-exponent) > decimals;
  const bool round_up =
      !beyond_last_place && taken < kSignificantDigits && decimal.digits[taken] >= '5';
  bool leading_one = false;
  if (round_up) {
    std::size_t i = significant;
    while (i > 0 && decimal.digits[i - 1] == '9') decimal.digits[--i] = '0';
    if (i > 0) {
      ++decimal.digits[i - 1];
    } else {
      // The carry leaves the digit string: it lands on the last inserted
      // zero, or creates a new leading integer digit.
      leading_one = true;
      if (inserted_zeros > 0) {
        --inserted_zeros;
      } else {
        ++integer_digits;
      }
    }
  }

  const std::size_t needed = (negative ? 1 : 0) + integer_digits + 1 + decimals;
  std::size_t width = static_cast<std::size_t>(w);
  if (w == 0) width = magnitude == 0 ? decimals + 2 : needed;
  char* p = grow(out, blanks + width) + blanks;
  if (needed > width) {
    std::fill_n(p, width, '*');
    return;
  }
  std::size_t field_blanks = width - needed;
  // A "0" before the point takes the place of a blank, if one is left.
  const bool zero_before_point = integer_digits == 0 && field_blanks > 0;
  if (zero_before_point) --field_blanks;
  p += field_blanks;
  if (negative) *p++ = '-';
  if (zero_before_point) *p++ = '0';

  DigitWriter writer(p, integer_digits);
  writer.put_zeros(inserted_zeros);
  if (leading_one) writer.put("1", 1);
  writer.put(decimal.digits.data(), significant);
  writer.put_zeros(taken - significant);
}

}  // namespace

Format::Format(std::string_view text) {
  using Kind = Descriptor::Kind;
  FormatCursor in(text);
  in.expect('(');
  bool in_group = false;
  std::size_t group_begin = 0;
  int group_repeat = 0;
  for (;;) {
    const int repeat = in.number();
    if (repeat == 0) in.fail("a repeat count must be positive");
    const char letter = in.next();
    if (letter == '(') {
      if (in_group) in.fail("groups nest only one level deep");
      in_group = true;
      group_begin = descriptors_.size();
      group_repeat = repeat < 0 ? 1 : repeat;
      continue;
    }

    Descriptor item{};
    int copies = repeat < 0 ? 1 : repeat;
    switch (letter) {
      case 'a': {
        const int width = in.number();
        if (width == 0) in.fail("a text width must be positive");
        item = {Kind::Text, width < 0 ? 0 : width, 0};
        break;
      }
      case 'i':
        item = {Kind::Integer, in.required_number(), 0};
        break;
      case 'f': {
        const int width = in.required_number();
        in.expect('.');
        item = {Kind::Real, width, in.required_number()};
        break;
      }
      case 'x':
        if (repeat < 0) in.fail("x needs a count of blanks");
        item = {Kind::Blanks, repeat, 0};
        copies = 1;
        break;
      default:
        in.fail("unknown descriptor");
    }
    descriptors_.insert(descriptors_.end(), static_cast<std::size_t>(copies), item);

    // Separators: a comma leads to the next item; a parenthesis closes the
    // group (and may be followed by more separators) or the whole format.
    for (;;) {
      const char separator = in.next();
      if (separator == ',') break;
      if (separator != ')') in.fail("expected ',' or ')'");
      if (!in_group) {
        if (!in.at_end()) in.fail("text after the closing parenthesis");
        return;
      }
      in_group = false;
      const std::size_t group_size = descriptors_.size() - group_begin;
      for (int i = 1; i < group_repeat; ++i) {
        for (std::size_t j = 0; j < group_size; ++j) {
          descriptors_.push_back(descriptors_[group_begin + j]);
        }
      }
    }
  }
}

void Format::render(std::string& out, std::span<const Arg> args) const {
  using Kind = Descriptor::Kind;
  std::size_t next = 0;
  std::size_t pending_blanks = 0;
  for (const Descriptor& item : descriptors_) {
    if (item.kind == Kind::Blanks) {
      pending_blanks += static_cast<std::size_t>(item.width);
      continue;
    }
    if (next == args.size()) return;
    const Arg& arg = args[next++];
    const Arg::Kind wanted = item.kind == Kind::Text      ? Arg::Kind::Text
                             : item.kind == Kind::Integer ? Arg::Kind::Integer
                                                          : Arg::Kind::Real;
    if (arg.kind() != wanted) {
      throw std::invalid_argument("value " + std::to_string(next) +
                                  " does not match its format descriptor");
    }
    switch (item.kind) {
      case Kind::Text:
        append_text(out, pending_blanks, arg.text(), item.width);
        break;
      case Kind::Integer:
        append_integer(out, pending_blanks, arg.integer(), item.width);
        break;
      case Kind::Real:
        append_fixed(out, pending_blanks, arg.real(), item.width, item.decimals);
        break;
      case Kind::Blanks:
        break;
    }
    pending_blanks = 0;
  }
  if (next < args.size()) {
    throw std::invalid_argument("more values than data descriptors in the format");
  }
}

void render_text(std::string& out, std::string_view text, int w) {
  append_text(out, 0, text, w);
}

void render_integer(std::string& out, std::int32_t v, int w) {
  append_integer(out, 0, v, w);
}

void render_fixed(std::string& out, double v, int w, int d) {
  append_fixed(out, 0, v, w, d);
}

void render_fixed_expansion(std::string& out, double v, int w, int d) {
  append_fixed(out, 0, v, w, d, false);
}

void render_list_item(std::string& out, std::string_view text) {
  out.push_back(' ');
  out.append(text);
}

}  // namespace vorda
