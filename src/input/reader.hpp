#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "core/failure.hpp"
#include "core/source_location.hpp"
#include "input/source.hpp"

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

// Why a free-format read failed.
enum class ReadReason {
  EndOfFile,        // the source ended before the read was complete
  BadInteger,       // an integer target met a character that does not belong
  IntegerOverflow,  // an integer beyond 32 bits
  BadReal,          // a real target met a character that does not belong
  BadText,          // a delimited text followed by something other than a separator
  ZeroRepeat,       // a repeat count of 0
  RepeatOverflow,   // a repeat count beyond 200000000
  WrongKind,        // a repeated value of one kind reaches a target of another
};

// A failed read: the reason, the target it happened at (counted from 1), and
// for WrongKind the kind of the repeated value and that of the target.
struct ReadFailure {
  ReadReason reason;
  std::size_t item = 0;
  Target::Kind found = Target::Kind::Integer;
  Target::Kind wanted = Target::Kind::Integer;

  friend bool operator==(const ReadFailure&, const ReadFailure&) = default;
};

// The text of a failure report for `f` ("Bad integer for item 2 in list input").
std::string describe(const ReadFailure& f);

// The reader's failure: a RuntimeFailure whose reason is describe(failure()).
class ReadError : public RuntimeFailure {
 public:
  ReadError(const Source& in, const ReadFailure& failure, SourceLocation where)
      : RuntimeFailure(in.unit(), in.name(), describe(failure), where), failure_(failure) {}
  const ReadFailure& failure() const { return failure_; }

 private:
  ReadFailure failure_;
};

// One free-format read: fills `targets` in order from `in` and leaves `in` at
// the start of the line after the last line used. Targets that receive a null
// value, or follow a slash, keep their value. A malformed value or the end of
// the source raises ReadError naming `in`'s channel and name, and `where`, the
// read statement of the caller; a failing read(2) raises RuntimeFailure with
// the system's text, also naming `where`.
void read_list(Source& in, std::span<const Target> targets, SourceLocation where = SourceLocation::current());

inline void read_list(Source& in, std::initializer_list<Target> targets,
                      SourceLocation where = SourceLocation::current()) {
  read_list(in, std::span<const Target>(targets.begin(), targets.size()), where);
}

}  // namespace vorda
