#pragma once

#include <stdexcept>
#include <string>

#include "core/source_location.hpp"

namespace vorda {

// A failure that ends the run: a read, an open or a write that did not work.
// It is raised where the failure happens and reported once, by main(), as
//   At line L of file F (unit = U, file = 'NAME')
//   VORDA runtime error: REASON
// followed by exit status 2. `where` is the program statement that failed.
class RuntimeFailure : public std::runtime_error {
 public:
  RuntimeFailure(int unit, std::string file, std::string reason,
                 SourceLocation where = SourceLocation::current());

  int unit() const { return unit_; }
  const std::string& file() const { return file_; }
  const std::string& reason() const { return reason_; }
  const SourceLocation& where() const { return where_; }

  // The two report lines, each ended by LF.
  std::string report() const;

 private:
  int unit_;
  std::string file_;
  std::string reason_;
  SourceLocation where_;
};

// The system's text for an errno value ("No space left on device").
std::string system_error_text(int errnum);

// Why a file could not be opened: a missing file (or directory on its path),
// refused access and a directory have texts of their own; any other cause
// gives the system's text.
std::string open_failure_reason(int errnum, const std::string& path);

}  // namespace vorda
