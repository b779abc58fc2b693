#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorda {

class FormatCursor;

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

// A parsed format text such as "(3x,f11.3,1x,i2)". Parse once, render often.
//
// Descriptors: a and aw (text), iw and i0 (integer), fw.d and f0.d (real),
// nx (n blanks), optionally with a repeat count before a data descriptor
// ("2i3"), and one level of groups with a repeat count such as "(3(a))".
// Upper case is accepted too.
class Format {
 public:
  // Throws std::invalid_argument for a malformed format text.
  explicit Format(std::string_view text);

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

  struct Descriptor {
    enum class Kind : unsigned char { Text, Integer, Real, Blanks };
    Kind kind;
    int width;     // 0: plain a, i0 or f0.d; for Blanks the number of blanks
    int decimals;  // Real only
  };
  // The descriptors in order, groups already expanded.
  std::span<const Descriptor> descriptors() const { return descriptors_; }

 private:
  // The group being read while the format text is parsed.
  struct OpenGroup {
    bool open = false;
    std::size_t begin = 0;  // its first descriptor
    int repeat = 0;
  };

  void parse_descriptor(FormatCursor& in, char letter, int repeat);
  bool close_groups(FormatCursor& in);

  std::vector<Descriptor> descriptors_;  // groups already expanded
  OpenGroup group_;
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
