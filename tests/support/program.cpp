#include "support/program.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace vorda::testing {

namespace fs = std::filesystem;

namespace {

bool switch_to_nobody() {
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) return false;
  return ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0;
}

// The program as the unprivileged user may run it. The build tree may lie
// under a directory that only its owner can enter (a clone in a fresh
// temporary directory), so a copy is kept in a directory anyone may enter.
const char* program_for_nobody() {
  static const fs::path copy = [] {
    static TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    fs::path exe = dir / "vorda";
    fs::copy_file(VORDA_EXE, exe);
    fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    return exe;
  }();
  return copy.c_str();
}

// Reads both pipes until the program has closed them.
void drain(int out_fd, int err_fd, RunResult& result) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = (out_fd >= 0) + (err_fd >= 0);
  char buffer[1 << 14];
  while (open_pipes > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
}

}  // namespace

// Standard output and error are pipes, so that a file size limit applies to
// the program's own files only.
RunResult run_vorda(const fs::path& workdir, std::string_view input, const RunOptions& options) {
  TempDir io;
  io.write("stdin", input);
  const fs::path in_path = io / "stdin";

  int out_pipe[2], err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  if (options.stdout_closed_pipe) {
    ::close(out_pipe[0]);
    out_pipe[0] = -1;
  }

  const char* program = options.as_nobody ? program_for_nobody() : VORDA_EXE;
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = ::open(in_path.c_str(), O_RDONLY);
    int out = options.stdout_to_dev_full ? ::open("/dev/full", O_WRONLY) : out_pipe[1];
    if (in < 0 || out < 0) ::_exit(121);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err_pipe[1], 2);
    if (out_pipe[0] >= 0) ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    if (::chdir(workdir.c_str()) != 0) ::_exit(122);
    if (options.file_size_limit > 0) {
      rlimit limit{options.file_size_limit, options.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.as_nobody && !switch_to_nobody()) ::_exit(123);
    ::execl(program, "vorda", static_cast<char*>(nullptr));
    ::_exit(124);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  RunResult result;
  drain(out_pipe[0], err_pipe[0], result);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  if (result.status >= 121 && result.status <= 124) throw std::runtime_error("could not start vorda");
  return result;
}

std::string answers(std::string_view file, std::string_view n, std::string_view type, std::string_view thres,
                    std::string_view durmin) {
  std::ostringstream out;
  out << file << '\n' << n << '\n' << type << '\n' << thres << '\n' << durmin << '\n';
  return out.str();
}

std::string crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string report_pattern(int unit, std::string_view file, std::string_view reason) {
  auto escape = [](std::string_view s) {
    return std::regex_replace(std::string(s), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
  };
  return "At line [0-9]+ of file [a-z_]+\\.cpp \\(unit = " + std::to_string(unit) + ", file = '" +
         escape(file) + "'\\)\nVORDA runtime error: " + escape(reason) + "\n";
}

bool can_drop_privileges() {
  if (::geteuid() != 0) return false;
  return ::getpwnam("nobody") != nullptr;
}

}  // namespace vorda::testing
