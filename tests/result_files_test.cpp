// The result file set of whole runs: names, header blocks, what an earlier
// run's files become, and the failures of opening and writing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "support/program.hpp"
#include "support/samples.hpp"

namespace vorda::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;

std::string header(std::string_view input, std::string_view type, std::string_view thres,
                   std::string_view durmin, std::string_view columns) {
  std::string text = " VORDA: Results\n ==============\n \n Input data file: ";
  text += input;
  text += "\n \n Threshold type:  ";
  text += type;
  text += "\n \n Threshold value: ";
  text += thres;
  text += "\n \n Event, minimum duration: ";
  text += durmin;
  text += "\n \n";
  text += columns;
  text += "\n";
  return crlf(text);
}

constexpr std::string_view kEventColumns = " Midpoint_time__d__m___yr_(rounded_up) Duration Action_measure";

std::set<std::string> files_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

class ResultFileSet : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("data.txt", kTenDays);
    // Readable by the unprivileged user whatever the umask.
    fs::permissions(dir / "data.txt", fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  }
  RunResult run(std::string_view type, std::string_view thres, std::string_view durmin,
                std::string_view n = "10", const RunOptions& options = {}) {
    return run_vorda(dir.path(), answers("data.txt", n, type, thres, durmin), options);
  }
  TempDir dir;
};

TEST_F(ResultFileSet, EachThresholdTypeOpensItsFiles) {
  struct Case {
    const char* answer;
    std::vector<std::string> files;
  } cases[] = {
      {"u",
       {"VORDA-data.txt-upper-25.0-durmin-5.dat", "VORDAshort-data.txt-upper-25.0-durmin-5.dat",
        "VORDAndays-data.txt-upper-25.0-durmin-5.dat", "VORDA-WSDI-data.txt-upper-25.0-durmin-5.dat",
        "VORDA-SGS--data.txt-upper-25.0-durmin-5.dat"}},
      {"l",
       {"VORDA-data.txt-lower-25.0-durmin-5.dat", "VORDAshort-data.txt-lower-25.0-durmin-5.dat",
        "VORDAndays-data.txt-lower-25.0-durmin-5.dat", "VORDA-CSDI-data.txt-lower-25.0-durmin-5.dat",
        "VORDA-LFD--data.txt-lower-25.0-durmin-5.dat"}},
      {"x",
       {"VORDA-data.txt-------25.0-durmin-5.dat", "VORDAshort-data.txt-------25.0-durmin-5.dat",
        "VORDAndays-data.txt-------25.0-durmin-5.dat"}},
  };
  for (const Case& c : cases) {
    TempDir fresh;
    fresh.write("data.txt", kTenDays);
    RunResult r = run_vorda(fresh.path(), answers("data.txt", "10", c.answer, "25.0", "5"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = c.files;
    expected.push_back("data.txt");
    EXPECT_THAT(files_in(fresh.path()), UnorderedElementsAreArray(expected)) << c.answer;
  }
}

TEST_F(ResultFileSet, NamesCarryTheThresholdAndDurationAsText) {
  struct Case {
    const char* thres;
    const char* durmin;
    const char* name;           // full event file
    const char* header_thres;   // header line 8
    const char* header_durmin;  // header line 10
  } cases[] = {
      {"-5.0", "3", "VORDA-data.txt-upper--5.0-durmin-3.dat", "-5.0", "3"},
      {"0.5", "5", "VORDA-data.txt-upper-.5-durmin-5.dat", ".5", "5"},
      {"0", "0", "VORDA-data.txt-upper-0.0-durmin-0.dat", "0.0", "0"},
      {"-0.04", "-2", "VORDA-data.txt-upper--.0-durmin--2.dat", "-.0", "-2"},
      {"1e18", "12345678", "VORDA-data.txt-upper-1000000000000000000.-durmin-1234567.dat",
       "1000000000000000000.0", "12345678"},
      {"nan", "1", "VORDA-data.txt-upper-NaN-durmin-1.dat", " NaN", "1"},
      {"inf", "1", "VORDA-data.txt-upper-+Inf-durmin-1.dat", "+Inf", "1"},
      {"-Infinity", "1", "VORDA-data.txt-upper--Inf-durmin-1.dat", "-Inf", "1"},
  };
  for (const Case& c : cases) {
    TempDir fresh;
    fresh.write("data.txt", kTenDays);
    RunResult r = run_vorda(fresh.path(), answers("data.txt", "10", "u", c.thres, c.durmin));
    ASSERT_EQ(r.status, 0) << c.thres << r.err;
    ASSERT_TRUE(fresh.exists(c.name)) << c.thres;
    std::string full = fresh.read(c.name);
    EXPECT_EQ(
        full.substr(0, header("data.txt", "upper", c.header_thres, c.header_durmin, kEventColumns).size()),
        header("data.txt", "upper", c.header_thres, c.header_durmin, kEventColumns))
        << c.thres;
  }
}

TEST_F(ResultFileSet, WholeFilesOfAnUpperRun) {
  ASSERT_EQ(run("u", "25.0", "2").status, 0);
  const std::string tail = "data.txt-upper-25.0-durmin-2.dat";
  EXPECT_EQ(dir.read("VORDA-" + tail),
            header("data.txt", "upper", "25.0", "2", kEventColumns) +
                crlf("         9.500 10  1 1990                     2         11.000\n"));
  EXPECT_EQ(dir.read("VORDAshort-" + tail), crlf("       9.500         11.000\n"));
  EXPECT_EQ(dir.read("VORDAndays-" + tail),
            header("data.txt", "upper", "25.0", "2", " yr   #days_measure") + crlf(" 1990   3\n"));
  EXPECT_EQ(dir.read("VORDA-WSDI-" + tail),
            header("data.txt", "upper", "25.0", "2", " yr   WSDI") + crlf(" 1990   0\n"));
  EXPECT_EQ(dir.read("VORDA-SGS--" + tail),
            header("data.txt", "upper", "25.0", "2", " yr   Start-of-growing-season") + crlf(" 1990   0\n"));
}

TEST_F(ResultFileSet, HeaderBlocksOfALowerAndAnUnknownTypeRun) {
  ASSERT_EQ(run("l", "-5", "3", "0").status, 0);
  const std::string tail = "data.txt-lower--5.0-durmin-3.dat";
  EXPECT_EQ(dir.read("VORDA-" + tail), header("data.txt", "lower", "-5.0", "3", kEventColumns));
  EXPECT_EQ(dir.read("VORDAshort-" + tail), "");
  EXPECT_EQ(dir.read("VORDAndays-" + tail), header("data.txt", "lower", "-5.0", "3", " yr   #days_measure"));
  EXPECT_EQ(dir.read("VORDA-CSDI-" + tail), header("data.txt", "lower", "-5.0", "3", " yr   CSDI"));
  EXPECT_EQ(dir.read("VORDA-LFD--" + tail), header("data.txt", "lower", "-5.0", "3", " yr   Last-frost-day"));

  ASSERT_EQ(run("L", "25", "5").status, 0);
  EXPECT_EQ(dir.read("VORDA-data.txt-------25.0-durmin-5.dat"),
            header("data.txt", "-----", "25.0", "5", kEventColumns));
  EXPECT_EQ(dir.read("VORDAndays-data.txt-------25.0-durmin-5.dat"),
            header("data.txt", "-----", "25.0", "5", " yr   #days_measure"));
}

TEST_F(ResultFileSet, LeadingBlanksOfAQuotedInputNameAreDropped) {
  dir.write("  data.txt", kTenDays);
  RunResult r = run_vorda(dir.path(), answers("'  data.txt'", "10", "u", "25", "5"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.read("VORDA-data.txt-upper-25.0-durmin-5.dat").substr(0, 60),
            header("data.txt", "upper", "25.0", "5", kEventColumns).substr(0, 60));
}

TEST_F(ResultFileSet, RerunLeavesNoRemnantOfALongerFile) {
  ASSERT_EQ(run("u", "20", "1").status, 0);
  const std::string name = "VORDA-data.txt-upper-20.0-durmin-1.dat";
  dir.write(name, dir.read(name) + std::string(5000, '~'));
  dir.write("VORDAshort-data.txt-upper-20.0-durmin-1.dat", std::string(9000, '~'));
  ASSERT_EQ(run("u", "20", "1").status, 0);
  EXPECT_EQ(dir.read(name).find('~'), std::string::npos);
  EXPECT_EQ(dir.read("VORDAshort-data.txt-upper-20.0-durmin-1.dat").find('~'), std::string::npos);
  // A rerun that writes a single record: that record and nothing else.
  const std::string one = "VORDAshort-data.txt-upper-25.0-durmin-2.dat";
  dir.write(one, std::string(9000, '~'));
  ASSERT_EQ(run("u", "25", "2").status, 0);
  EXPECT_EQ(dir.read(one), crlf("       9.500         11.000\n"));
}

TEST_F(ResultFileSet, StaleShortEventFileIsEmptied) {
  // A run without events must not leave an earlier run's events in place.
  const std::string name = "VORDAshort-data.txt-upper-99.0-durmin-1.dat";
  dir.write(name, "       3.000          6.000\r\n");
  ASSERT_EQ(run("u", "99", "1").status, 0);
  EXPECT_EQ(dir.read(name), "");
}

// A user may discard a result by linking its name to /dev/null: a device is
// written as it is, never cut. Here the full event file gets records and
// the short one none (a run without events).
TEST_F(ResultFileSet, ResultNameLinkedToDevNull) {
  const std::string tail = "data.txt-upper-99.0-durmin-1.dat";
  for (const char* prefix : {"VORDA-", "VORDAshort-"}) fs::create_symlink("/dev/null", dir / (prefix + tail));
  RunResult r = run("u", "99", "1");
  ASSERT_EQ(r.status, 0) << r.err;
  TempDir plain;
  plain.write("data.txt", kTenDays);
  ASSERT_EQ(run_vorda(plain.path(), answers("data.txt", "10", "u", "99", "1")).status, 0);
  for (const char* prefix : {"VORDAndays-", "VORDA-WSDI-", "VORDA-SGS--"})
    EXPECT_EQ(dir.read(prefix + tail), plain.read(prefix + tail)) << prefix;
  EXPECT_EQ(fs::read_symlink(dir / ("VORDA-" + tail)), "/dev/null");
}

TEST_F(ResultFileSet, MissingDirectoryOnThePath) {
  fs::create_directory(dir / "sub");
  dir.write("sub/data.txt", kTenDays);
  RunResult r = run_vorda(dir.path(), answers("'sub/data.txt'", "10", "u", "20", "2"));
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("(unit = 1, file = '')\n"
                               "VORDA runtime error: File 'VORDA-sub/data.txt-upper-20.0-durmin-2.dat'"
                               " does not exist\n"));
}

TEST_F(ResultFileSet, ResultNameThatIsADirectory) {
  fs::create_directory(dir / "VORDAndays-data.txt-upper-20.0-durmin-2.dat");
  RunResult r = run("u", "20", "2");
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("(unit = 3, file = '')\nVORDA runtime error: "
                               "'VORDAndays-data.txt-upper-20.0-durmin-2.dat' is a directory\n"));
  // The files opened before it were created empty and nothing was written.
  EXPECT_EQ(dir.read("VORDA-data.txt-upper-20.0-durmin-2.dat"), "");
}

// Runs as an unprivileged user where this process is root, since root may
// write any file.
RunOptions unprivileged() {
  RunOptions options;
  options.as_nobody = ::geteuid() == 0;
  return options;
}

TEST_F(ResultFileSet, ReadOnlyResultFileFailsAtItsFirstRecord) {
  if (::geteuid() == 0 && !can_drop_privileges()) GTEST_SKIP() << "no unprivileged user to run as";
  fs::permissions(dir.path(), fs::perms::all);
  const std::string days = "VORDAndays-data.txt-upper-20.0-durmin-2.dat";
  dir.write(days, "earlier\r\n");
  fs::permissions(dir / days, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  RunResult r = run("u", "20", "2", "10", unprivileged());
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("(unit = 3, file = '" + days +
                               "')\nVORDA runtime error: Cannot write to file opened for READ\n"));
  EXPECT_EQ(dir.read(days), "earlier\r\n");
  // The full event file received its header before the failure: kept.
  EXPECT_EQ(dir.read("VORDA-data.txt-upper-20.0-durmin-2.dat"),
            header("data.txt", "upper", "20.0", "2", kEventColumns));
}

TEST_F(ResultFileSet, ReadOnlyShortEventFileFailsOnlyIfItWouldBeChanged) {
  if (::geteuid() == 0 && !can_drop_privileges()) GTEST_SKIP() << "no unprivileged user to run as";
  fs::permissions(dir.path(), fs::perms::all);
  const std::string brief = "VORDAshort-data.txt-upper-99.0-durmin-2.dat";
  dir.write(brief, "");
  fs::permissions(dir / brief, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(run("u", "99", "2", "10", unprivileged()).status, 0);

  fs::permissions(dir / brief, fs::perms::owner_write, fs::perm_options::add);
  dir.write(brief, "stale\r\n");
  fs::permissions(dir / brief, fs::perms::owner_write, fs::perm_options::remove);
  RunResult r = run("u", "99", "2", "10", unprivileged());
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("(unit = 2, file = '" + brief +
                               "')\nVORDA runtime error: Cannot write to file opened for READ\n"));
}

TEST_F(ResultFileSet, UnwritableDirectory) {
  if (::geteuid() == 0 && !can_drop_privileges()) GTEST_SKIP() << "no unprivileged user to run as";
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  RunResult r = run("u", "20", "2", "10", unprivileged());
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("(unit = 1, file = '')\nVORDA runtime error: Permission denied trying "
                               "to open file 'VORDA-data.txt-upper-20.0-durmin-2.dat'\n"));
}

TEST_F(ResultFileSet, FileSizeLimitIsAFailureNotASignal) {
  RunOptions limited;
  limited.file_size_limit = 300;
  RunResult r = run("u", "20", "1", "10", limited);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("(unit = 1, file = 'VORDA-data.txt-upper-20.0-durmin-1.dat')\n"
                               "VORDA runtime error: File too large\n"));
}

TEST_F(ResultFileSet, NoScratchFileOutlivesTheRun) {
  auto scratch_files = [] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
      std::string name = entry.path().filename();
      if (name.size() == 12 && name.starts_with("vorda-")) names.insert(name);
    }
    return names;
  };
  auto before = scratch_files();
  EXPECT_EQ(run("u", "20", "1").status, 0);
  EXPECT_EQ(run("u", "20", "1", "10",
                [] {
                  RunOptions o;
                  o.file_size_limit = 300;
                  return o;
                }())
                .status,
            2);
  EXPECT_EQ(scratch_files(), before);
}

}  // namespace
}  // namespace vorda::testing
