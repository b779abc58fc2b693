#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/format_syntax.hpp"

namespace vorda {

// One value of a formatted write: a text, a 32-bit integer or a 64-bit real.
class Arg {
 public:
  enum class Kind : unsigned char { Text, Integer, Real };

  constexpr Arg(std::string_view text) : kind_(Kind::Text), text_(text) {}
  constexpr Arg(const char* text) : Arg(std::string_view(text)) {}
  constexpr Arg(std::int32_t value) : kind_(Kind::Integer), integer_(value) {}
  constexpr Arg(double value) : kind_(Kind::Real), real_(value) {}

  constexpr Kind kind() const { return kind_; }
  constexpr std::string_view text() const { return text_; }
  constexpr std::int32_t integer() const { return integer_; }
  constexpr double real() const { return real_; }

 private:
  Kind kind_;
  std::string_view text_;
  std::int32_t integer_ = 0;
  double real_ = 0;
};

// A format text given as a literal, checked when the program is compiled:
// `const Format kSize("(a,i7,a)")` with a malformed text fails the build.
class FormatText {
 public:
  consteval FormatText(const char* text) : text_(text) {  // NOLINT: implicit
    format_syntax::Count count;
    format_syntax::parse(text_, count);
  }
  constexpr std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

// A parsed format text such as "(3x,f11.3,1x,i2)" (the descriptors are
// described at format_syntax::parse). Parse once, render often.
class Format {
 public:
  explicit Format(FormatText text);
  // A format text built at run time; throws std::invalid_argument when it is
  // malformed.
  static Format parse(std::string_view text);

  // Appends the characters of one record (without the record end) to `out`.
  // Blanks from nx are written only in front of the next data field, and the
  // walk stops at the first data descriptor after the last value. Does not
  // allocate beyond growing `out`. A value whose kind does not match its
  // descriptor, or a value left over at the end of the format, is a
  // programming error and throws std::invalid_argument.
  void render(std::string& out, std::span<const Arg> args) const;
  void render(std::string& out, std::initializer_list<Arg> args) const {
    render(out, std::span<const Arg>(args.begin(), args.size()));
  }

  using Descriptor = format_syntax::Descriptor;
  // The descriptors in order, groups already expanded.
  std::span<const Descriptor> descriptors() const { return descriptors_; }

 private:
  Format() = default;

  // Collects the descriptors while the text is parsed.
  struct Collect {
    std::vector<Descriptor>& descriptors;
    std::size_t size() const { return descriptors.size(); }
    void append(const Descriptor& item, std::size_t copies) {
      descriptors.insert(descriptors.end(), copies, item);
    }
    void repeat(std::size_t begin, int times);
  };

  std::vector<Descriptor> descriptors_;  // groups already expanded
};

// The single fields, usable on their own. A width of 0 means the minimal
// width (i0, f0.d; plain a for text).
void render_text(std::string& out, std::string_view text, int w);
void render_integer(std::string& out, std::int32_t v, int w);
void render_fixed(std::string& out, double v, int w, int d);
// fw.d from the 38-digit expansion alone, without the integer path that
// render_fixed takes where it applies: the two are held against each other.
void render_fixed_expansion(std::string& out, double v, int w, int d);

// Free-format write of one text item: a blank, then the text as stored.
// (A free-format write with no item adds nothing: the record is empty.)
void render_list_item(std::string& out, std::string_view text);

}  // namespace vorda
