#include "output/format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

#include "output/fixed_field.hpp"

namespace vorda {

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

namespace {

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

}  // namespace

Format::Format(std::string_view text) {
  FormatCursor in(text);
  in.expect('(');
  for (;;) {
    const int repeat = in.number();
    if (repeat == 0) in.fail("a repeat count must be positive");
    const char letter = in.next();
    if (letter == '(') {
      if (group_.open) in.fail("groups nest only one level deep");
      group_ = {true, descriptors_.size(), repeat < 0 ? 1 : repeat};
      continue;
    }
    parse_descriptor(in, letter, repeat);
    if (close_groups(in)) return;
  }
}

// One data or blank descriptor after its repeat count (-1 when none) and its
// letter; appends its copies.
void Format::parse_descriptor(FormatCursor& in, char letter, int repeat) {
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
  descriptors_.insert(descriptors_.end(), static_cast<std::size_t>(copies), item);
}

// The separators after an item: a comma leads to the next item; a
// parenthesis closes the open group, repeating its descriptors (and may be
// followed by more separators), or the whole format. Returns whether the
// format ended.
bool Format::close_groups(FormatCursor& in) {
  for (;;) {
    const char separator = in.next();
    if (separator == ',') return false;
    if (separator != ')') in.fail("expected ',' or ')'");
    if (!group_.open) {
      if (!in.at_end()) in.fail("text after the closing parenthesis");
      return true;
    }
    group_.open = false;
    const std::size_t group_size = descriptors_.size() - group_.begin;
    for (int i = 1; i < group_.repeat; ++i) {
      for (std::size_t j = 0; j < group_size; ++j) {
        descriptors_.push_back(descriptors_[group_.begin + j]);
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
