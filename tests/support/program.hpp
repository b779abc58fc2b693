#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "support/temp_dir.hpp"

namespace vorda::testing {

struct RunOptions {
  bool as_nobody = false;      // drop to the unprivileged user first
  rlim_t file_size_limit = 0;  // RLIMIT_FSIZE in bytes, 0 for none
  bool stdout_to_dev_full = false;
  bool stdout_closed_pipe = false;  // stdout a pipe whose reader is gone
};

struct RunResult {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it, if any
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the built program in `workdir` with `input` on its standard input.
RunResult run_vorda(const std::filesystem::path& workdir, std::string_view input,
                    const RunOptions& options = {});

// The answers of a run, one per line, LF-ended.
std::string answers(std::string_view file, std::string_view n, std::string_view type, std::string_view thres,
                    std::string_view durmin);

// Text with LF line ends turned into CR LF record ends.
std::string crlf(std::string_view text);

// The failure report as a regular expression: a locating line naming the
// statement, unit and file, then the reason.
std::string report_pattern(int unit, std::string_view file, std::string_view reason);

// Whether the unprivileged user exists and this process may switch to it.
bool can_drop_privileges();

}  // namespace vorda::testing
