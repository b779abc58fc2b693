// Force-included into the fuzz build. clang 14 lacks the builtin that the
// standard library's std::source_location is built on, so the header leaves
// it undeclared; this stands in for it with the older builtins, which give
// the same file and line.
#pragma once

#include <source_location>

#ifndef __cpp_lib_source_location
namespace std {
struct source_location {
  static constexpr source_location current(const char* file = __builtin_FILE(),
                                           const char* function = __builtin_FUNCTION(),
                                           unsigned line = __builtin_LINE(),
                                           unsigned column = __builtin_COLUMN()) noexcept {
    source_location where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    where.column_ = column;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr unsigned line() const noexcept { return line_; }
  constexpr unsigned column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  unsigned line_ = 0;
  unsigned column_ = 0;
};
}  // namespace std
#endif
