#pragma once

// The free-format reader's inner state, shared by reader.cpp (the walk over
// values and separators) and value_syntax.cpp (the syntax of one value).

#include <cstdint>
#include <span>
#include <string>

#include "core/source_location.hpp"
#include "input/decimal.hpp"
#include "input/lexical.hpp"
#include "input/reader.hpp"
#include "input/source.hpp"

namespace vorda::list_input {

inline constexpr std::uint64_t kMaxRepeat = 200000000;
// Digit runs are accumulated up to here; anything larger is too large for
// every use (a repeat count, an integer) and stays above this bound.
inline constexpr std::uint64_t kDigitCap = 100000000000;        // 1e11
inline constexpr std::int64_t kExponentCap = 1000000000000000;  // 1e15

using lexical::ends_value;
using lexical::is_blank;
using lexical::is_comma;
using lexical::is_digit;
using lexical::is_line_end;
using lexical::kMaxInteger;

inline int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// The state of one list read over `in`.
class ListReader {
 public:
  ListReader(Source& in, std::span<const Target> targets, SourceLocation where)
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

  [[noreturn]] void fail(ReadReason reason) const {
    throw ReadError(in_, ReadFailure{reason, item_}, where_);
  }
  // A value cut short by the end of the source is an end of file; one with a
  // character that does not belong is malformed.
  [[noreturn]] void fail_bad(ReadReason reason) { fail(peek() < 0 ? ReadReason::EndOfFile : reason); }

  Source& in_;
  std::span<const Target> targets_;
  SourceLocation where_;
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

}  // namespace vorda::list_input
