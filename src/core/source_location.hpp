#pragma once

// Where a statement stands in the program's source, for the failure report:
// std::source_location where the standard library provides it. clang 14
// with libstdc++ lacks the builtin that type is built on, and the header
// leaves it undeclared; the older builtins give the same file and line.

#include <version>

#ifdef __cpp_lib_source_location
#include <source_location>

namespace vorda {
using SourceLocation = std::source_location;
}  // namespace vorda

#else

namespace vorda {

class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          const char* function = __builtin_FUNCTION(),
                                          unsigned line = __builtin_LINE(),
                                          unsigned column = __builtin_COLUMN()) noexcept {
    SourceLocation where;
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

}  // namespace vorda

#endif
