#include "input/reader.hpp"

#include <string>

#include "input/list_reader.hpp"

namespace vorda {

namespace {

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

}  // namespace

namespace list_input {

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
  if (c < 0) fail(ReadReason::EndOfFile);
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
  // Only a value that meets the end directly may end the source: blanks or
  // tabs before the end are a separator that is not a line end, and the rest
  // of their line has no LF.
  const bool at_end_directly = peek() < 0;
  const int c = skip_blanks();
  at_line_end_ = after_comma_ = false;
  if (c < 0) {
    if (!may_end_source || !at_end_directly) fail(ReadReason::EndOfFile);
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
  if (!at_line_end_ && !in_.skip_past_lf()) fail(ReadReason::EndOfFile);
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
      if (digits == 0) fail(ReadReason::ZeroRepeat);
      if (digits > kMaxRepeat) fail(ReadReason::RepeatOverflow);
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
    throw ReadError(in_, ReadFailure{ReadReason::WrongKind, item_, repeat_kind_, t.kind}, where_);
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

}  // namespace list_input

std::string describe(const ReadFailure& f) {
  const std::string item = std::to_string(f.item);
  switch (f.reason) {
    case ReadReason::EndOfFile:
      return "End of file";
    case ReadReason::BadInteger:
      return "Bad integer for item " + item + " in list input";
    case ReadReason::IntegerOverflow:
      return "Integer overflow while reading item " + item;
    case ReadReason::BadReal:
      return "Bad real number in item " + item + " of list input";
    case ReadReason::BadText:
      return "Invalid string input in item " + item;
    case ReadReason::ZeroRepeat:
      return "Zero repeat count in item " + item + " of list input";
    case ReadReason::RepeatOverflow:
      return "Repeat count overflow in item " + item + " of list input";
    case ReadReason::WrongKind:
      return std::string("Read type ") + kind_name(f.found) + " where " + kind_name(f.wanted) +
             " was expected for item " + item;
  }
  return "";
}

void read_list(Source& in, std::span<const Target> targets, SourceLocation where) {
  try {
    list_input::ListReader(in, targets, where).read();
  } catch (const ReadError&) {
    throw;
  } catch (const RuntimeFailure& f) {
    // A failing read(2) is reported by the source; name the read statement.
    throw RuntimeFailure(f.unit(), f.file(), f.reason(), where);
  }
}

}  // namespace vorda
