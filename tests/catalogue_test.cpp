// The bad-input catalogue: whole runs fed malformed answers and data files,
// refused files and refusing devices. Each row names the exit status and, for
// a failed run, the channel, the file name and the reason of the report.
// Below it, "nothing lost": a run that fails at any point leaves the result
// files of an earlier run as they were, unless it wrote a record to them.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>

#include "support/program.hpp"
#include "support/samples.hpp"

namespace vorda::testing {
namespace {

namespace fs = std::filesystem;

// The ten days with record `k` (from 0) replaced by `line`.
std::string ten_days_with(int k, const std::string& line) {
  std::string out;
  std::size_t start = 0;
  for (int i = 0; i < 10; ++i) {
    std::size_t end = std::string_view(kTenDays).find('\n', start) + 1;
    out += i == k ? line + "\n" : std::string(kTenDays + start, kTenDays + end);
    start = end;
  }
  return out;
}

std::string ok_answers() { return answers("data.txt", "10", "u", "20", "2"); }

const std::string kDays = "VORDAndays-data.txt-upper-20.0-durmin-2.dat";

struct Row {
  const char* name;
  std::string data = kTenDays;       // data.txt
  std::string input = ok_answers();  // standard input
  int status = 2;
  int unit = 0;  // the locating line of a failed run
  std::string file = {};
  std::string reason = {};
  int result_files = -1;  // VORDA*.dat files present after the run; -1: not checked
  std::function<void(const TempDir&)> setup = nullptr;
  RunOptions options = {};
  bool unprivileged = false;  // needs a user that file permissions apply to
  rlim_t size_limit = 0;      // a file size limit for the program's own files
};

RunResult run_under_size_limit(const fs::path& workdir, std::string_view input, rlim_t limit) {
  RunOptions options;
  options.file_size_limit = limit;
  return run_vorda(workdir, input, options);
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

int result_file_count(const fs::path& dir) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().starts_with("VORDA")) ++count;
  return count;
}

// The locating line names a statement of the program: a source file that
// exists under src/, and a line within it.
void expect_statement_of_program(const std::string& err) {
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, std::regex("^At line ([0-9]+) of file ([a-z_]+\\.cpp) "))) << err;
  const int line = std::stoi(m[1]);
  for (const auto& entry : fs::recursive_directory_iterator(VORDA_SOURCE_DIR "/src")) {
    if (entry.path().filename() != m[2].str()) continue;
    std::ifstream in(entry.path());
    const auto lines = std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
    EXPECT_GE(line, 1);
    EXPECT_LE(line, lines) << err;
    return;
  }
  ADD_FAILURE() << "no source file " << m[2] << " under src/";
}

class Catalogue : public ::testing::TestWithParam<Row> {};

TEST_P(Catalogue, EndsAsListed) {
  const Row& row = GetParam();
  RunOptions options = row.options;
  if (row.unprivileged) {
    if (::geteuid() == 0 && !can_drop_privileges()) GTEST_SKIP() << "no unprivileged user to run as";
    options.as_nobody = ::geteuid() == 0;
  }
  TempDir dir;
  if (options.as_nobody) fs::permissions(dir.path(), fs::perms::all);
  dir.write("data.txt", row.data);
  if (options.as_nobody) fs::permissions(dir / "data.txt", fs::perms::others_read, fs::perm_options::add);
  if (row.setup) row.setup(dir);

  RunResult r = row.size_limit > 0 ? run_under_size_limit(dir.path(), row.input, row.size_limit)
                                   : run_vorda(dir.path(), row.input, options);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, row.status) << r.err;
  if (row.status == 0) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_THAT(r.err, ::testing::MatchesRegex(report_pattern(row.unit, row.file, row.reason)));
    expect_statement_of_program(r.err);
  }
  if (row.result_files >= 0) {
    EXPECT_EQ(result_file_count(dir.path()), row.result_files);
  }
}

void make_directory(const TempDir& dir, const char* name) { fs::create_directory(dir / name); }

RunOptions dev_full() {
  RunOptions o;
  o.stdout_to_dev_full = true;
  return o;
}

RunOptions closed_pipe() {
  RunOptions o;
  o.stdout_closed_pipe = true;
  return o;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Reader, Catalogue, ::testing::Values(
    // Console answers: channel 5, 'stdin'. No result file is opened.
    Row{.name = "SizeWithLetters", .input = answers("data.txt", "12x", "u", "20", "2"),
        .unit = 5, .file = "stdin", .reason = "Bad integer for item 1 in list input", .result_files = 0},
    Row{.name = "SizeOverflow", .input = answers("data.txt", "-2147483648", "u", "20", "2"),
        .unit = 5, .file = "stdin", .reason = "Integer overflow while reading item 1", .result_files = 0},
    Row{.name = "ThresholdBadExponent", .input = answers("data.txt", "10", "u", "2.5q1", "2"),
        .unit = 5, .file = "stdin", .reason = "Bad real number in item 1 of list input", .result_files = 0},
    Row{.name = "ThresholdQuoted", .input = answers("data.txt", "10", "u", "'20'", "2"),
        .unit = 5, .file = "stdin", .reason = "Bad real number in item 1 of list input", .result_files = 0},
    Row{.name = "FileNameAfterClosingQuote", .input = answers("'data.txt'x", "10", "u", "20", "2"),
        .unit = 5, .file = "stdin", .reason = "Invalid string input in item 1", .result_files = 0},
    Row{.name = "TypeAfterClosingQuote", .input = answers("data.txt", "10", "\"u\"pper", "20", "2"),
        .unit = 5, .file = "stdin", .reason = "Invalid string input in item 1", .result_files = 0},
    Row{.name = "DurationZeroRepeat", .input = answers("data.txt", "10", "u", "20", "0*2"),
        .unit = 5, .file = "stdin", .reason = "Zero repeat count in item 1 of list input", .result_files = 0},
    Row{.name = "SizeRepeatOverflow", .input = answers("data.txt", "200000001*10", "u", "20", "2"),
        .unit = 5, .file = "stdin", .reason = "Repeat count overflow in item 1 of list input", .result_files = 0},
    Row{.name = "EmptyInput", .input = "",
        .unit = 5, .file = "stdin", .reason = "End of file", .result_files = 0},
    Row{.name = "BlankLinesOnly", .input = "\n \r\n\t\n",
        .unit = 5, .file = "stdin", .reason = "End of file", .result_files = 0},
    Row{.name = "InputEndsInsideQuotedName", .input = "'data.txt\n",
        .unit = 5, .file = "stdin", .reason = "End of file", .result_files = 0},
    Row{.name = "LastAnswerWithoutLineEnd", .input = "data.txt\n10\nu\n20\n2",
        .unit = 5, .file = "stdin", .reason = "End of file", .result_files = 0},
    Row{.name = "InputEndsAfterThreshold", .input = "data.txt\n10\nu\n20\n",
        .unit = 5, .file = "stdin", .reason = "End of file", .result_files = 0},

    // Data file records: channel 1, the file's name.
    Row{.name = "HeadingLine", .data = std::string("t d m yr x\n") + kTenDays,
        .unit = 1, .file = "data.txt", .reason = "Bad integer for item 1 in list input", .result_files = 0},
    Row{.name = "YearWithPoint", .data = ten_days_with(3, "4 4 1 1990.0 23"),
        .unit = 1, .file = "data.txt", .reason = "Bad integer for item 4 in list input", .result_files = 0},
    Row{.name = "BinaryGarbage", .data = std::string("\x7f" "ELF\x02\x01\x01\0\0\xff\xfe\n", 12),
        .unit = 1, .file = "data.txt", .reason = "Bad integer for item 1 in list input", .result_files = 0},
    Row{.name = "TimeOverflow", .data = ten_days_with(5, "2147483648 6 1 1990 25"),
        .unit = 1, .file = "data.txt", .reason = "Integer overflow while reading item 1", .result_files = 0},
    Row{.name = "ValueBadExponent", .data = ten_days_with(9, "10 10 1 1990 2.5q1"),
        .unit = 1, .file = "data.txt", .reason = "Bad real number in item 5 of list input", .result_files = 0},
    Row{.name = "ValueTwoPoints", .data = ten_days_with(0, "1 1 1 1990 1.2.3"),
        .unit = 1, .file = "data.txt", .reason = "Bad real number in item 5 of list input", .result_files = 0},
    Row{.name = "RepeatIntoTheValue", .data = ten_days_with(2, "5*1"),
        .unit = 1, .file = "data.txt", .reason = "Read type INTEGER where REAL was expected for item 5",
        .result_files = 0},
    Row{.name = "DataZeroRepeat", .data = ten_days_with(1, "0*2 2 1 1990 21"),
        .unit = 1, .file = "data.txt", .reason = "Zero repeat count in item 1 of list input", .result_files = 0},
    Row{.name = "DataRepeatOverflow", .data = ten_days_with(1, "2 999999999*2 21"),
        .unit = 1, .file = "data.txt", .reason = "Repeat count overflow in item 2 of list input", .result_files = 0},
    Row{.name = "ShortFile", .input = answers("data.txt", "11", "u", "20", "2"),
        .unit = 1, .file = "data.txt", .reason = "End of file", .result_files = 0},
    Row{.name = "EmptyFile", .data = "",
        .unit = 1, .file = "data.txt", .reason = "End of file", .result_files = 0},
    Row{.name = "LastValueWithoutLineEndPlainDigits",
        .data = std::string(kTenDays, sizeof kTenDays - 3),  // "... 31" cut to "... 3"
        .unit = 1, .file = "data.txt", .reason = "End of file", .result_files = 0},
    Row{.name = "LastValueWithoutLineEndExponent",
        .data = std::string(kTenDays, sizeof kTenDays - 2) + "e0",
        .unit = 1, .file = "data.txt", .reason = "End of file", .result_files = 0},
    Row{.name = "LastValueWithoutLineEndSigned",
        .data = std::string(kTenDays, sizeof kTenDays - 4) + "+31", .status = 0, .result_files = 5},
    // Blanks or a tab after it: the rest of the last line has no LF.
    Row{.name = "LastValueSignedThenBlank",
        .data = std::string(kTenDays, sizeof kTenDays - 4) + "+31 ",
        .unit = 1, .file = "data.txt", .reason = "End of file", .result_files = 0},
    Row{.name = "LastValueSignedThenTab",
        .data = std::string(kTenDays, sizeof kTenDays - 4) + "+31\t",
        .unit = 1, .file = "data.txt", .reason = "End of file", .result_files = 0},
    Row{.name = "RepeatCountOfTheMaximum", .data = ten_days_with(4, "200000000*5"),
        .unit = 1, .file = "data.txt", .reason = "Read type INTEGER where REAL was expected for item 5",
        .result_files = 0}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Open, Catalogue, ::testing::Values(
    // The data file: channel 1, no file name bound.
    Row{.name = "Missing", .input = answers("nope.txt", "10", "u", "20", "2"),
        .unit = 1, .file = "", .reason = "File 'nope.txt' does not exist", .result_files = 0},
    Row{.name = "MissingDirectoryOnPath", .input = answers("'no/data.txt'", "10", "u", "20", "2"),
        .unit = 1, .file = "", .reason = "File 'no/data.txt' does not exist", .result_files = 0},
    Row{.name = "Directory", .input = answers("sub", "10", "u", "20", "2"),
        .unit = 1, .file = "", .reason = "'sub' is a directory", .result_files = 0,
        .setup = [](const TempDir& d) { make_directory(d, "sub"); }},
    Row{.name = "Unreadable",
        .unit = 1, .file = "", .reason = "Permission denied trying to open file 'data.txt'",
        .result_files = 0,
        .setup = [](const TempDir& d) { fs::permissions(d / "data.txt", fs::perms::none); },
        .unprivileged = true},
    Row{.name = "FileOnPath", .input = answers("'data.txt/x'", "10", "u", "20", "2"),
        .unit = 1, .file = "", .reason = "Not a directory", .result_files = 0},
    Row{.name = "SymlinkLoop", .input = answers("loop", "10", "u", "20", "2"),
        .unit = 1, .file = "", .reason = "Too many levels of symbolic links", .result_files = 0,
        .setup = [](const TempDir& d) { fs::create_symlink("loop", d / "loop"); }},

    // The record count is checked against the store before any record is read.
    Row{.name = "SizeAboveCapacity", .input = answers("data.txt", "100001", "u", "20", "2"),
        .unit = 5, .file = "stdin", .reason = "Data size 100001 exceeds the maximum of 100000",
        .result_files = 0},
    Row{.name = "SizeOfTheLargestInteger", .input = answers("data.txt", "2147483647", "u", "20", "2"),
        .unit = 5, .file = "stdin", .reason = "Data size 2147483647 exceeds the maximum of 100000",
        .result_files = 0},

    // Result files: channel of the file, no file name bound.
    Row{.name = "ResultDirectoryMissing", .input = answers("'sub/data.txt'", "10", "u", "20", "2"),
        .unit = 1, .file = "", .reason = "File 'VORDA-sub/data.txt-upper-20.0-durmin-2.dat' does not exist",
        .result_files = 0,
        .setup = [](const TempDir& d) { make_directory(d, "sub"); d.write("sub/data.txt", kTenDays); }},
    Row{.name = "ResultPathThroughAFile", .input = answers("'sub/data.txt'", "10", "u", "20", "2"),
        .unit = 1, .file = "", .reason = "Not a directory", .result_files = 1,
        .setup = [](const TempDir& d) {
          make_directory(d, "sub");
          d.write("sub/data.txt", kTenDays);
          d.write("VORDA-sub", "");
        }},
    Row{.name = "ResultNameIsADirectory",
        .unit = 3, .file = "", .reason = "'" + kDays + "' is a directory", .result_files = 3,
        .setup = [](const TempDir& d) { make_directory(d, kDays.c_str()); }},
    Row{.name = "ResultDirectoryNotWritable",
        .unit = 1, .file = "", .reason = "Permission denied trying to open file 'VORDA-data.txt-upper-20.0-durmin-2.dat'",
        .result_files = 0,
        .setup = [](const TempDir& d) {
          fs::permissions(d.path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                          fs::perm_options::remove);
        },
        .unprivileged = true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Write, Catalogue, ::testing::Values(
    Row{.name = "ConsoleOnFullDevice",
        .unit = 6, .file = "stdout", .reason = "No space left on device", .result_files = 0,
        .options = dev_full()},
    Row{.name = "ConsoleClosedPipe",
        .unit = 6, .file = "stdout", .reason = "Broken pipe", .result_files = 0,
        .options = closed_pipe()},
    // One byte: the scratch file's first record does not fit.
    Row{.name = "ScratchFileOverSizeLimit",
        .unit = 1, .file = "", .reason = "File too large", .result_files = 0, .size_limit = 1},
    Row{.name = "ResultFileOverSizeLimit",
        .unit = 1, .file = "VORDA-data.txt-upper-20.0-durmin-2.dat", .reason = "File too large",
        .result_files = 5, .size_limit = 200},
    Row{.name = "ReadOnlyResultFile",
        .unit = 3, .file = kDays, .reason = "Cannot write to file opened for READ", .result_files = 5,
        .setup = [](const TempDir& d) {
          d.write(kDays, "earlier\r\n");
          fs::permissions(d / kDays, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        },
        .unprivileged = true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---- nothing lost ----

const std::string kTail = "data.txt-upper-20.0-durmin-1.dat";
const char* const kPrefixes[] = {"VORDA-", "VORDAshort-", "VORDAndays-", "VORDA-WSDI-", "VORDA-SGS--"};

// Another series under the same name, so that its result files share the
// names of the first run's files but hold other records.
const char kOtherDays[] =
    "101 1 1 1995 25\n102 2 1 1995 26\n103 3 1 1995 12\n104 4 1 1995 27\n105 5 1 1995 28\n"
    "106 6 1 1995 29\n107 7 1 1995 10\n108 8 1 1995 31\n109 9 1 1995 32\n110 10 1 1995 12\n"
    "111 1 2 1996 22\n112 2 2 1996 23\n";

using FileSet = std::map<std::string, std::string>;

FileSet result_files(const TempDir& dir) {
  FileSet files;
  for (const char* prefix : kPrefixes) {
    const std::string name = prefix + kTail;
    if (fs::is_regular_file(dir / name)) files[name] = dir.read(name);
  }
  return files;
}

class NothingLost : public ::testing::Test {
 protected:
  void SetUp() override {
    // The earlier run's files, and what a complete run on the other series
    // writes to each.
    TempDir other;
    other.write("data.txt", kOtherDays);
    ASSERT_EQ(run_vorda(other.path(), answers("data.txt", "12", "u", "20", "1")).status, 0);
    complete = result_files(other);

    dir.write("data.txt", kTenDays);
    ASSERT_EQ(run_vorda(dir.path(), answers("data.txt", "10", "u", "20", "1")).status, 0);
    earlier = result_files(dir);
    ASSERT_EQ(earlier.size(), 5u);
    for (const auto& [name, content] : earlier) {
      ASSERT_FALSE(complete[name].starts_with(content)) << name << ": the two runs must differ";
      ASSERT_FALSE(content.starts_with(complete[name])) << name << ": the two runs must differ";
    }
    dir.write("data.txt", kOtherDays);
  }

  // Puts the earlier run's files back.
  void restore() const {
    for (const auto& [name, content] : earlier) {
      std::error_code ec;
      fs::permissions(dir / name, fs::perms::owner_write, fs::perm_options::add, ec);
      dir.write(name, content);
    }
  }

  // Each file is the earlier one, untouched, or holds only what this run
  // wrote: the start of the complete run's file.
  void expect_nothing_lost(const std::string& point) const {
    for (const auto& [name, content] : earlier) {
      if (!fs::is_regular_file(dir / name)) continue;
      const std::string now = dir.read(name);
      if (now == content) continue;
      EXPECT_TRUE(complete.at(name).starts_with(now))
          << point << ": " << name << " holds neither the earlier content nor this run's records:\n"
          << now;
    }
  }

  RunResult run(std::string_view input, const RunOptions& options = {}) const {
    return run_vorda(dir.path(), input, options);
  }

  TempDir dir;
  FileSet earlier, complete;
};

TEST_F(NothingLost, FailuresBeforeTheResultFilesLeaveThemAlone) {
  struct Point {
    const char* name;
    std::string input;
    RunOptions options;
  } points[] = {
      {"bad duration", answers("data.txt", "12", "u", "20", "1.0"), {}},
      {"short data file", answers("data.txt", "13", "u", "20", "1"), {}},
      {"input ends", "data.txt\n12\nu\n", {}},
      {"full console", answers("data.txt", "12", "u", "20", "1"), dev_full()},
  };
  for (const Point& p : points) {
    restore();
    RunResult r = run(p.input, p.options);
    EXPECT_EQ(r.status, 2) << p.name;
    EXPECT_EQ(result_files(dir), earlier) << p.name;
  }
  restore();
  EXPECT_EQ(run_under_size_limit(dir.path(), answers("data.txt", "12", "u", "20", "1"), 1).status, 2);
  EXPECT_EQ(result_files(dir), earlier) << "scratch file over the size limit";
}

TEST_F(NothingLost, FailureWhileOpeningKeepsTheOpenedFiles) {
  restore();
  const std::string sgs = std::string("VORDA-SGS--") + kTail;
  fs::remove(dir / sgs);
  fs::create_directory(dir / sgs);
  RunResult r = run(answers("data.txt", "12", "u", "20", "1"));
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, ::testing::HasSubstr("is a directory"));
  FileSet expected = earlier;
  expected.erase(sgs);
  EXPECT_EQ(result_files(dir), expected);
}

TEST_F(NothingLost, WriteFailureAtAnyPoint) {
  // The size limit moves the failing write through the headers and records
  // of every file, and into the files' closing.
  std::size_t largest = 0;
  for (const auto& [name, content] : complete) largest = std::max(largest, content.size());
  for (rlim_t limit : {6, 20, 60, 100, 115, 150, 190, 200, 250, 300, 400}) {
    ASSERT_LT(limit, largest);
    restore();
    RunResult r = run_under_size_limit(dir.path(), answers("data.txt", "12", "u", "20", "1"), limit);
    EXPECT_EQ(r.signal, 0) << limit;
    EXPECT_EQ(r.status, 2) << "limit " << limit << r.err;
    EXPECT_THAT(r.err, ::testing::HasSubstr("VORDA runtime error: File too large\n")) << limit;
    expect_nothing_lost("limit " + std::to_string(limit));
  }
  // Beyond the largest file the run completes and replaces every file.
  restore();
  ASSERT_EQ(run_under_size_limit(dir.path(), answers("data.txt", "12", "u", "20", "1"), 100000).status, 0);
  EXPECT_EQ(result_files(dir), complete);
}

TEST_F(NothingLost, ReadOnlyFileStopsTheRunWithoutChangingIt) {
  if (::geteuid() == 0 && !can_drop_privileges()) GTEST_SKIP() << "no unprivileged user to run as";
  RunOptions options;
  options.as_nobody = ::geteuid() == 0;
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir / "data.txt", fs::perms::others_read, fs::perm_options::add);
  for (const char* prefix : kPrefixes) {
    restore();
    for (const auto& [name, content] : earlier) fs::permissions(dir / name, fs::perms::all);
    const std::string name = prefix + kTail;
    fs::permissions(dir / name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    RunResult r = run(answers("data.txt", "12", "u", "20", "1"), options);
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_THAT(r.err, ::testing::HasSubstr("(unit = ")) << name;
    EXPECT_THAT(r.err, ::testing::HasSubstr("Cannot write to file opened for READ")) << name;
    EXPECT_EQ(dir.read(name), earlier.at(name));
    expect_nothing_lost(name);
  }
}

}  // namespace
}  // namespace vorda::testing
