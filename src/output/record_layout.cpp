#include "output/record_layout.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "output/exact_fixed.hpp"

namespace vorda {

FieldText::FieldText(double v, int w, int d) : width_(static_cast<std::size_t>(w)), decimals_(d) {
  if (w <= 0 || width_ > sizeof text_) throw std::invalid_argument("a field text needs a width of 1 to 32");
  std::fill_n(text_, width_, ' ');
  if (const auto scaled = exact_scaled(std::fabs(v), d)) {
    write_scaled_field(text_, width_, std::signbit(v), *scaled, d);
    return;
  }
  std::string text;
  render_fixed(text, v, w, d);
  std::copy_n(text.data(), width_, text_);
}

RecordLayout::RecordLayout(const Format& format) {
  using Kind = Format::Descriptor::Kind;
  std::size_t position = 0;
  for (const Format::Descriptor& item : format.descriptors()) {
    const auto width = static_cast<std::size_t>(item.width);
    if (item.kind == Kind::Blanks) {
      position += width;
      continue;
    }
    if (item.kind == Kind::Text || width == 0) {
      throw std::invalid_argument("a record layout needs integer and real fields of fixed width");
    }
    fields_.push_back({item.kind == Kind::Real, position, width, item.decimals});
    position += width;
    width_ = position;
  }
}

void RecordLayout::check_count(std::size_t count) const {
  if (count != fields_.size()) {
    throw std::invalid_argument("a record needs one value for each field of its layout");
  }
}

const RecordLayout::Field& RecordLayout::field(std::size_t k, bool real) const {
  const Field& f = fields_[k];
  if (f.real != real)
    throw std::invalid_argument("value " + std::to_string(k + 1) + " does not match its field");
  return f;
}

void RecordLayout::put(char* line, std::size_t k, std::int32_t v) const {
  const Field& f = field(k, false);
  char* const end = line + f.offset + f.width;
  // Days, months and most durations: one or two digits.
  if (v >= 0 && v < 10) {
    end[-1] = static_cast<char>('0' + v);
    return;
  }
  if (v >= 10 && v < 100 && f.width >= 2) {
    end[-2] = static_cast<char>('0' + v / 10);
    end[-1] = static_cast<char>('0' + v % 10);
    return;
  }
  const bool negative = v < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  const std::size_t length = (negative ? 1 : 0) + std::max<std::size_t>(decimal_digit_count(magnitude), 1);
  if (length > f.width) {
    std::fill_n(end - f.width, f.width, '*');
    return;
  }
  char* p = magnitude == 0 ? end - 1 : write_digits_backward(end, magnitude);
  if (magnitude == 0) *p = '0';
  if (negative) p[-1] = '-';
}

void RecordLayout::put(char* line, std::size_t k, double v) const {
  const Field& f = field(k, true);
  char* const start = line + f.offset;
  if (const auto scaled = exact_scaled(std::fabs(v), f.decimals)) {
    write_scaled_field(start, f.width, std::signbit(v), *scaled, f.decimals);
    return;
  }
  // Zero, non-finite, very large or very small values: rare enough to go
  // through the general renderer.
  std::string text;
  render_fixed(text, v, static_cast<int>(f.width), f.decimals);
  std::copy_n(text.data(), f.width, start);
}

void RecordLayout::put(char* line, std::size_t k, const FieldText& v) const {
  const Field& f = field(k, true);
  if (v.text().size() != f.width || v.decimals() != f.decimals) {
    throw std::invalid_argument("value " + std::to_string(k + 1) + " was rendered for another field");
  }
  std::copy_n(v.text().data(), f.width, line + f.offset);
}

}  // namespace vorda
