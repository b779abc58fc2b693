#include "program.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace vorda::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "vorda-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Permission tests may leave entries the owner cannot enter.
  for (auto& entry : fs::recursive_directory_iterator(path_, ec)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

void TempDir::write(std::string_view name, std::string_view bytes) const {
  std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::read(std::string_view name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool TempDir::exists(std::string_view name) const { return fs::exists(path_ / name); }

namespace {

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool switch_to_nobody() {
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) return false;
  return ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 &&
         ::setuid(nobody->pw_uid) == 0;
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

}  // namespace

RunResult run_vorda(const fs::path& workdir, std::string_view input, const RunOptions& options) {
  TempDir io;
  io.write("stdin", input);
  const fs::path in_path = io / "stdin", out_path = io / "stdout", err_path = io / "stderr";

  int pipe_fds[2] = {-1, -1};
  if (options.stdout_closed_pipe) {
    if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    ::close(pipe_fds[0]);
  }

  const char* program = options.as_nobody ? program_for_nobody() : VORDA_EXE;
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = ::open(in_path.c_str(), O_RDONLY);
    int out = options.stdout_closed_pipe   ? pipe_fds[1]
              : options.stdout_to_dev_full ? ::open("/dev/full", O_WRONLY)
                                           : ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) ::_exit(121);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (::chdir(workdir.c_str()) != 0) ::_exit(122);
    if (options.file_size_limit > 0) {
      rlimit limit{options.file_size_limit, options.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.as_nobody && !switch_to_nobody()) ::_exit(123);
    ::execl(program, "vorda", static_cast<char*>(nullptr));
    ::_exit(124);
  }
  if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);

  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  RunResult result;
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  if (result.status >= 121 && result.status <= 124) throw std::runtime_error("could not start vorda");
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  return result;
}

std::string answers(std::string_view file, std::string_view n, std::string_view type,
                    std::string_view thres, std::string_view durmin) {
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

bool can_drop_privileges() {
  if (::geteuid() != 0) return false;
  return ::getpwnam("nobody") != nullptr;
}

}  // namespace vorda::testing
