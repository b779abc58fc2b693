#pragma once

#include <cstdint>
#include <source_location>
#include <span>

#include "driver/source.hpp"

namespace vorda {

// One target of a free-format read: a 32-bit integer, a 64-bit real, or a
// fixed-length text (its length is the span's size; the value is stored
// left-justified and blank-filled).
struct Target {
  enum class Kind { Integer, Real, Character };

  static Target integer(std::int32_t& v) { return {Kind::Integer, &v, nullptr, nullptr, 0}; }
  static Target real(double& v) { return {Kind::Real, nullptr, &v, nullptr, 0}; }
  static Target text(std::span<char> v) { return {Kind::Character, nullptr, nullptr, v.data(), v.size()}; }

  Kind kind;
  std::int32_t* i;
  double* r;
  char* c;
  std::size_t length;
};

// One free-format read: fills `targets` in order from `in` and leaves `in` at
// the start of the line after the last line used. Targets that receive a null
// value, or follow a slash, keep their value. A malformed value or the end of
// the source raises RuntimeFailure naming `in`'s channel and name, and
// `where`, the read statement of the caller.
void read_list(Source& in, std::span<const Target> targets,
               std::source_location where = std::source_location::current());

}  // namespace vorda
