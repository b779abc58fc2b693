#include "core/failure.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace vorda {

namespace {

std::string_view base_name(std::string_view path) {
  auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

RuntimeFailure::RuntimeFailure(int unit, std::string file, std::string reason, SourceLocation where)
    : std::runtime_error(reason),
      unit_(unit),
      file_(std::move(file)),
      reason_(std::move(reason)),
      where_(where) {}

std::string RuntimeFailure::report() const {
  std::string out = "At line " + std::to_string(where_.line()) + " of file ";
  out += base_name(where_.file_name());
  out += " (unit = " + std::to_string(unit_) + ", file = '" + file_ + "')\n";
  out += "VORDA runtime error: " + reason_ + "\n";
  return out;
}

std::string system_error_text(int errnum) { return std::strerror(errnum); }

std::string open_failure_reason(int errnum, const std::string& path) {
  switch (errnum) {
    case ENOENT:
      return "File '" + path + "' does not exist";
    case EACCES:
      return "Permission denied trying to open file '" + path + "'";
    case EISDIR:
      return "'" + path + "' is a directory";
    default:
      return system_error_text(errnum);
  }
}

}  // namespace vorda
