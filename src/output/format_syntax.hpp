#pragma once

#include <cstddef>
#include <string_view>

namespace vorda::format_syntax {

// One descriptor of a format text, groups expanded.
struct Descriptor {
  enum class Kind : unsigned char { Text, Integer, Real, Blanks };
  Kind kind;
  int width;     // 0: plain a, i0 or f0.d; for Blanks the number of blanks
  int decimals;  // Real only
};

// Reports a malformed format text, naming the text and the position, since
// such a text is a mistake in the program itself: throws
// std::invalid_argument. Not constexpr, so that reaching it while a literal
// is checked at compile time fails the build.
[[noreturn]] void fail(std::string_view text, std::size_t pos, const char* why);

// Reads a format text left to right.
class Cursor {
 public:
  constexpr explicit Cursor(std::string_view text) : text_(text) {}

  [[noreturn]] void fail(const char* why) const { format_syntax::fail(text_, pos_, why); }

  constexpr bool at_end() const { return pos_ == text_.size(); }

  // The next character, letters folded to lower case.
  constexpr char next() {
    if (at_end()) fail("unexpected end");
    const char c = text_[pos_++];
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }

  constexpr void expect(char wanted) {
    if (next() != wanted) {
      --pos_;
      fail(wanted == '.' ? "expected '.'" : "unexpected character");
    }
  }

  // An unsigned decimal number, or -1 when no digit follows.
  constexpr int number() {
    int value = -1;
    int digits = 0;
    while (!at_end() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      if (++digits > 9) fail("number too large");
      value = (value < 0 ? 0 : value * 10) + (text_[pos_++] - '0');
    }
    return value;
  }

  constexpr int required_number() {
    const int value = number();
    if (value < 0) fail("expected a number");
    return value;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// One data or blank descriptor after its repeat count (-1 when none) and its
// letter; appends its copies.
template <typename Sink>
constexpr void parse_descriptor(Cursor& in, char letter, int repeat, Sink& out) {
  using Kind = Descriptor::Kind;
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
  out.append(item, static_cast<std::size_t>(copies));
}

// Parses `text`, handing its descriptors in order to `out`:
// out.append(item, copies) adds copies of one descriptor, out.size() counts
// those added, out.repeat(begin, times) appends the descriptors from `begin`
// on `times` more times (a group's repeat count).
//
// Descriptors: a and aw (text), iw and i0 (integer), fw.d and f0.d (real),
// nx (n blanks), optionally with a repeat count before a data descriptor
// ("2i3"), and one level of groups with a repeat count such as "(3(a))".
// Upper case is accepted too.
template <typename Sink>
constexpr void parse(std::string_view text, Sink& out) {
  Cursor in(text);
  in.expect('(');
  bool group_open = false;
  std::size_t group_begin = 0;
  int group_repeat = 0;
  for (;;) {
    const int repeat = in.number();
    if (repeat == 0) in.fail("a repeat count must be positive");
    const char letter = in.next();
    if (letter == '(') {
      if (group_open) in.fail("groups nest only one level deep");
      group_open = true;
      group_begin = out.size();
      group_repeat = repeat < 0 ? 1 : repeat;
      continue;
    }
    parse_descriptor(in, letter, repeat, out);
    // The separators after an item: a comma leads to the next item; a
    // parenthesis closes the open group, repeating its descriptors (and may
    // be followed by more separators), or the whole format.
    for (;;) {
      const char separator = in.next();
      if (separator == ',') break;
      if (separator != ')') in.fail("expected ',' or ')'");
      if (!group_open) {
        if (!in.at_end()) in.fail("text after the closing parenthesis");
        return;
      }
      group_open = false;
      out.repeat(group_begin, group_repeat - 1);
    }
  }
}

// A sink that only counts: parsing into it checks a text.
struct Count {
  std::size_t n = 0;
  constexpr std::size_t size() const { return n; }
  constexpr void append(const Descriptor&, std::size_t copies) { n += copies; }
  constexpr void repeat(std::size_t begin, int times) { n += (n - begin) * static_cast<std::size_t>(times); }
};

}  // namespace vorda::format_syntax
