#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "output/format.hpp"

namespace vorda {

// The text of one fw.d field (w up to 32), rendered once so that records that
// show the same value in the same descriptor take the same characters.
class FieldText {
 public:
  FieldText(double v, int w, int d);
  std::string_view text() const { return {text_, width_}; }
  int decimals() const { return decimals_; }

 private:
  char text_[32];
  std::size_t width_;
  int decimals_;
};

// A format of integer and real fields of fixed width (iw and fw.d, with nx
// between them), laid out once: where each field starts in the record and
// how wide it is. A record is then written in one piece: the line is grown
// once, and each value goes straight into its field, with the same
// characters as Format::render gives.
class RecordLayout {
 public:
  // Throws std::invalid_argument for a text field or a field of minimal
  // width (i0, f0.d), which has no place of its own.
  explicit RecordLayout(const Format& format);

  // The length of a record: up to the end of the last field.
  std::size_t width() const { return width_; }

  // Writes one value per field, in order, into `line`, which holds width()
  // blanks: an integer, a real, or the FieldText of a real field of the same
  // width and decimals. A value whose type does not match its field, or a
  // count of values other than the number of fields, is a programming error
  // and throws std::invalid_argument.
  template <typename... Values>
  void render(char* line, const Values&... values) const {
    check_count(sizeof...(values));
    std::size_t k = 0;
    (put(line, k++, values), ...);
  }

 private:
  struct Field {
    bool real;
    std::size_t offset;
    std::size_t width;
    int decimals;
  };

  void check_count(std::size_t count) const;
  void put(char* line, std::size_t k, std::int32_t v) const;
  void put(char* line, std::size_t k, double v) const;
  void put(char* line, std::size_t k, const FieldText& v) const;
  const Field& field(std::size_t k, bool real) const;

  std::vector<Field> fields_;
  std::size_t width_ = 0;
};

}  // namespace vorda
