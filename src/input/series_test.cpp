#include "input/series.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/failure.hpp"
#include "input/source.hpp"

namespace vorda {
namespace {

// A fresh temporary directory with files in it, removed afterwards.
class TempDir {
 public:
  TempDir() {
    char dir[] = "/tmp/vorda-series-XXXXXX";
    path_ = ::mkdtemp(dir);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }

  std::string write(const std::string& name, const std::string& bytes) const {
    std::string file = path_ + "/" + name;
    std::FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Loads `n` records from a file holding `bytes`; the failure's reason, if any.
std::string load(const std::string& bytes, std::int32_t n, Series& s) {
  TempDir dir;
  std::string file = dir.write("data.txt", bytes);
  s.n = n;
  try {
    Source in = open_input(file);
    load_series(in, s);
  } catch (const RuntimeFailure& f) {
    EXPECT_EQ(f.unit(), 1);
    EXPECT_EQ(f.file(), file);
    return f.reason();
  }
  return "";
}

std::string record(const Series& s, int i) {
  char buf[120];
  std::snprintf(buf, sizeof buf, "%d %d %d %d %g", s.t[i], s.d[i], s.m[i], s.yr[i], s.x[i]);
  return buf;
}

void expect_untouched_from(const Series& s, int first) {
  for (int i = first; i <= NMAX; ++i) {
    if (s.t[i] != -999 || s.d[i] != -999 || s.m[i] != -999 || s.yr[i] != -999 || s.x[i] != -999.0) {
      ADD_FAILURE() << "slot " << i << " was written: " << record(s, i);
      return;
    }
  }
}

struct LoadCase {
  const char* what;
  std::string bytes;
  std::int32_t n;
  const char* failure;  // "" when the load succeeds
  const char* records;  // the records read, separated by "; "
};

TEST(LoadSeries, Records) {
  const LoadCase cases[] = {
      {"blank separated", "1 1 1 2000 -3.5\n2 2 1 2000 4.25\n", 2, "", "1 1 1 2000 -3.5; 2 2 1 2000 4.25"},
      {"commas and tabs", "1,1,1,2000,-3.5\n2\t2\t1\t2000\t4.25\n", 2, "",
       "1 1 1 2000 -3.5; 2 2 1 2000 4.25"},
      {"split record", "1 1 1\n2000 -3.5\n2 2 1 2000 4.25\n", 2, "", "1 1 1 2000 -3.5; 2 2 1 2000 4.25"},
      {"extra values", "1 1 1 2000 -3.5 99 x\n2 2 1 2000 4.25\n", 2, "", "1 1 1 2000 -3.5; 2 2 1 2000 4.25"},
      {"empty lines", "\n1 1 1 2000 -3.5\n\n  \n2 2 1 2000 4.25\n", 2, "",
       "1 1 1 2000 -3.5; 2 2 1 2000 4.25"},
      {"nulls", "1,,1,2000,-3.5\n2 2 1 2000,,\n", 2, "", "1 -999 1 2000 -3.5; 2 2 1 2000 -999"},
      {"comma at a line end", "1 1 1 2000,\n-3.5\n", 1, "", "1 1 1 2000 -3.5"},
      {"slash", "1 1 /\n2 2 1 2000 4.25\n", 2, "", "1 1 -999 -999 -999; 2 2 1 2000 4.25"},
      {"more records than asked", "1 1 1 2000 -3.5\n2 2 1 2000 4.25\nheading\n", 1, "", "1 1 1 2000 -3.5"},
      {"CR LF", "1 1 1 2000 -3.5\r\n2 2 1 2000 4.25\r\n", 2, "", "1 1 1 2000 -3.5; 2 2 1 2000 4.25"},
      {"lone CR", "1 1 1 2000 -3.5\r2 2 1 2000 4.25\r", 2, "", "1 1 1 2000 -3.5; 2 2 1 2000 4.25"},
      // Skipping extra values runs to the next LF: the following lines go.
      {"lone CR, extra values", "1 1 1 2000 -3.5 9\r2 2 1 2000 4.25\r", 2, "End of file", ""},
      {"last line without line end, signed", "1 1 1 2000 -3.5\n2 2 1 2000 +4", 2, "",
       "1 1 1 2000 -3.5; 2 2 1 2000 4"},
      {"last line without line end, point", "2 2 1 2000 4.25", 1, "", "2 2 1 2000 4.25"},
      {"last line without line end, digits", "1 1 1 2000 -3.5\n2 2 1 2000 25", 2, "End of file", ""},
      {"last line without line end, exponent", "2 2 1 2000 2.5e1", 1, "End of file", ""},
      {"last line without line end, leading point", "2 2 1 2000 .5", 1, "End of file", ""},
      {"heading line", "t d m yr x\n1 1 1 2000 -3.5\n", 1, "Bad integer for item 1 in list input", ""},
      {"point in t", "1.0 1 1 2000 -3.5\n", 1, "Bad integer for item 1 in list input", ""},
      {"letter in x", "1 1 1 2000 -3.5q\n", 1, "Bad real number in item 5 of list input", ""},
      {"year overflow", "1 1 1 2147483648 -3.5\n", 1, "Integer overflow while reading item 4", ""},
      {"short file", "1 1 1 2000 -3.5\n", 2, "End of file", ""},
      {"empty file", "", 1, "End of file", ""},
      {"no records asked", "heading\n", 0, "", ""},
      {"negative count", "heading\n", -999, "", ""},
  };
  for (const LoadCase& c : cases) {
    auto s = std::make_unique<Series>();
    std::string failure = load(c.bytes, c.n, *s);
    EXPECT_EQ(failure, c.failure) << c.what;
    if (failure.empty()) {
      std::string got;
      for (int i = 1; i <= c.n; ++i) got += (i > 1 ? "; " : "") + record(*s, i);
      EXPECT_EQ(got, c.records) << c.what;
      expect_untouched_from(*s, c.n < 1 ? 1 : c.n + 1);
    }
  }
}

TEST(LoadSeries, ClosesTheSource) {
  Source in = Source::from_bytes("1 1 1 2000 1.5\n2 2 1 2000 2.5\n", 1, "data");
  auto s = std::make_unique<Series>();
  s->n = 1;
  load_series(in, *s);
  EXPECT_EQ(in.peek(), -1);
}

TEST(LoadSeries, RefusesACountAboveTheCapacity) {
  Source in = Source::from_bytes("", 1, "data");
  auto s = std::make_unique<Series>();
  s->n = NMAX + 1;
  EXPECT_THROW(load_series(in, *s), std::logic_error);
  expect_untouched_from(*s, 1);
}

TEST(LoadSeries, FullCapacity) {
  std::string bytes;
  for (int i = 1; i <= NMAX; ++i) bytes += std::to_string(i) + " 1 1 2000 0.5\n";
  auto s = std::make_unique<Series>();
  EXPECT_EQ(load(bytes, NMAX, *s), "");
  EXPECT_EQ(record(*s, NMAX), "100000 1 1 2000 0.5");
}

TEST(LoadSeries, RealDailySeries) {
  const std::string path = std::string(VORDA_SHARED_DATA) + "/cet-daily-mean.txt";
  if (::access(path.c_str(), R_OK) != 0) GTEST_SKIP() << path << " is not here";
  auto s = std::make_unique<Series>();
  s->n = 91005;
  Source in = open_input(path);
  load_series(in, *s);
  EXPECT_EQ(record(*s, 1), "1 1 1 1772 3.2");
  EXPECT_EQ(record(*s, 91005), "91005 28 2 2021 5.4");
  for (int i = 1; i <= 91005; ++i) {
    if (s->t[i] != i) {
      ADD_FAILURE() << "record " << i << ": " << record(*s, i);
      break;
    }
  }
  expect_untouched_from(*s, 91006);
}

// The message of a failed open, with unit 1 and no file name.
std::string open_failure(const std::string& name) {
  try {
    open_input(name);
  } catch (const RuntimeFailure& f) {
    EXPECT_EQ(f.unit(), 1);
    EXPECT_EQ(f.file(), "");
    return f.reason();
  }
  return "";
}

TEST(OpenInput, Failures) {
  TempDir dir;
  EXPECT_EQ(open_failure(dir.path() + "/missing.txt"),
            "File '" + dir.path() + "/missing.txt' does not exist");
  EXPECT_EQ(open_failure(dir.path() + "/missing.txt    "),
            "File '" + dir.path() + "/missing.txt' does not exist");
  EXPECT_EQ(open_failure(""), "File '' does not exist");
  EXPECT_EQ(open_failure("        "), "File '' does not exist");
  EXPECT_EQ(open_failure(dir.path()), "'" + dir.path() + "' is a directory");
  std::string file = dir.write("f.txt", "1\n");
  EXPECT_EQ(open_failure(file + "/x"), "Not a directory");
  EXPECT_EQ(open_failure(std::string("a\0b", 3)), std::string("File 'a\0b' does not exist", 25));
}

TEST(OpenInput, FailureNamesTheCallersOpenStatement) {
  const unsigned line = __LINE__ + 2;
  try {
    open_input("/nonexistent/x");
    FAIL() << "opened";
  } catch (const RuntimeFailure& f) {
    EXPECT_EQ(f.where().line(), line);
    EXPECT_NE(std::string(f.where().file_name()).find("series_test.cpp"), std::string::npos);
  }
}

TEST(OpenInput, NameWithoutTrailingBlanks) {
  TempDir dir;
  std::string file = dir.write("f.txt", "1\n");
  Source in = open_input(file + std::string(80 - file.size(), ' '));
  EXPECT_EQ(in.unit(), 1);
  EXPECT_EQ(in.name(), file);
  EXPECT_EQ(in.peek(), '1');
}

TEST(OpenInput, ReadOnlyFileOpens) {
  TempDir dir;
  std::string file = dir.write("f.txt", "1\n");
  ::chmod(file.c_str(), 0444);
  EXPECT_EQ(open_input(file).peek(), '1');
}

TEST(OpenInput, UnreadableFile) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  std::string file = dir.write("f.txt", "1\n");
  ::chmod(file.c_str(), 0);
  const std::string expected = "Permission denied trying to open file '" + file + "'";
  if (::geteuid() != 0) {
    EXPECT_EQ(open_failure(file), expected);
    return;
  }
  // The superuser reads every file: try it as an ordinary user, in a child.
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "running as root and there is no user 'nobody'";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    int code = 1;
    try {
      open_input(file);
    } catch (const RuntimeFailure& f) {
      code = (f.reason() == expected && f.unit() == 1 && f.file().empty()) ? 0 : 2;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop privileges to 'nobody'";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the file opened, 2: another message";
}

}  // namespace
}  // namespace vorda
