#include <unistd.h>

#include <csignal>
#include <string>

#include "app/run.hpp"
#include "core/failure.hpp"

int main() {
  // A closed pipe or a file size limit must show up as a failed write, which
  // the run reports, not as a signal that kills the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    vorda::run();
  } catch (const vorda::RuntimeFailure& failure) {
    std::string report = failure.report();
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, report.data(), report.size());
    return 2;
  }
  return 0;
}
