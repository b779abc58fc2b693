#include "output/format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

#include "output/fixed_field.hpp"

namespace vorda {

void format_syntax::fail(std::string_view text, std::size_t pos, const char* why) {
  throw std::invalid_argument("malformed format text \"" + std::string(text) + "\" at position " +
                              std::to_string(pos) + ": " + why);
}

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

Format::Format(FormatText text) : Format(parse(text.text())) {}

Format Format::parse(std::string_view text) {
  Format format;
  Collect collect{format.descriptors_};
  format_syntax::parse(text, collect);
  return format;
}

void Format::Collect::repeat(std::size_t begin, int times) {
  const std::size_t group_size = descriptors.size() - begin;
  for (int i = 0; i < times; ++i) {
    for (std::size_t j = 0; j < group_size; ++j) {
      descriptors.push_back(descriptors[begin + j]);
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
      throw std::invalid_argument("value " + std::to_string(next) + " does not match its format descriptor");
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

void render_text(std::string& out, std::string_view text, int w) { append_text(out, 0, text, w); }

void render_integer(std::string& out, std::int32_t v, int w) { append_integer(out, 0, v, w); }

void render_fixed(std::string& out, double v, int w, int d) { append_fixed(out, 0, v, w, d); }

void render_fixed_expansion(std::string& out, double v, int w, int d) {
  append_fixed(out, 0, v, w, d, false);
}

void render_list_item(std::string& out, std::string_view text) {
  out.push_back(' ');
  out.append(text);
}

}  // namespace vorda
