// The console dialogue as a user meets it: the built program run as a process
// in a temporary directory, answers piped in, output compared byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "support/program.hpp"
#include "support/samples.hpp"

namespace vorda::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class Dialogue : public ::testing::Test {
 protected:
  void SetUp() override { dir.write("data.txt", kTenDays); }
  RunResult run(std::string_view input, const RunOptions& options = {}) {
    return run_vorda(dir.path(), input, options);
  }
  TempDir dir;
};

TEST_F(Dialogue, NormalRunPrintsTheWholeTranscript) {
  RunResult r = run(answers("data.txt", "10", "u", "20.0", "2"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, golden_transcript());
  EXPECT_EQ(r.err, "");
}

TEST_F(Dialogue, TranscriptDoesNotDependOnTheAnswers) {
  for (const char* type : {"l", "U", "x"}) {
    RunResult r = run(answers("data.txt", "0", type, "-3", "-1"));
    EXPECT_EQ(r.status, 0) << type;
    EXPECT_EQ(r.out, golden_transcript()) << type;
  }
}

TEST_F(Dialogue, AnswersTakeOneValueEachAndSkipEmptyLines) {
  // Empty lines before an answer are passed over; a second value on the
  // type line is discarded, and the threshold comes from its own line.
  RunResult r = run("\n  \ndata.txt extra\n\n10\nu 17\n20.0\n,\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(dir.exists("VORDA-data.txt-upper-20.0-durmin--999.dat"));
}

TEST_F(Dialogue, TypeAnswerKeepsOnlyItsFirstCharacter) {
  struct Case {
    const char* answer;
    const char* type;
  } cases[] = {{"upper", "upper"}, {"lower", "lower"}, {"'l'", "lower"},
               {"U", "-----"},     {"L", "-----"},     {",", "-----"}};
  for (const Case& c : cases) {
    TempDir fresh;
    fresh.write("data.txt", kTenDays);
    RunResult r = run_vorda(fresh.path(), answers("data.txt", "10", c.answer, "20.0", "2"));
    ASSERT_EQ(r.status, 0) << c.answer << r.err;
    EXPECT_TRUE(fresh.exists(std::string("VORDA-data.txt-") + c.type + "-20.0-durmin-2.dat")) << c.answer;
  }
}

TEST_F(Dialogue, NullAnswersKeepTheStartValues) {
  // n stays -999 (nothing read), thres -999.0, durmin -999.
  RunResult r = run(answers("data.txt", ",", "u", ",", ","));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.read("VORDA-data.txt-upper--999.0-durmin--999.dat").substr(0, 15), " VORDA: Results");
}

TEST_F(Dialogue, NullFileNameLeavesItBlank) {
  RunResult r = run(",\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, transcript_lines(62));
  EXPECT_THAT(r.err, MatchesRegex(report_pattern(1, "", "File '' does not exist")));
}

TEST_F(Dialogue, MissingFileEndsTheRunBeforeTheSizeQuestion) {
  RunResult r = run(answers("nope.txt", "10", "u", "20", "2"));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, transcript_lines(62));
  EXPECT_THAT(r.err, MatchesRegex(report_pattern(1, "", "File 'nope.txt' does not exist")));
}

TEST_F(Dialogue, QuotedFileNameMayHoldBlanks) {
  dir.write("my data.txt", kTenDays);
  RunResult r = run(answers("'my data.txt'", "10", "u", "20", "2"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(dir.exists("VORDA-my data.txt-upper-20.0-durmin-2.dat"));

  r = run(answers("my data.txt", "10", "u", "20", "2"));
  EXPECT_THAT(r.err, HasSubstr("File 'my' does not exist"));
}

struct Failure {
  const char* name;
  std::string data;   // data.txt
  std::string input;  // standard input
  int unit;
  const char* file;
  const char* reason;
  std::size_t lines;  // console lines written before the failure
};

void PrintTo(const Failure& failure, std::ostream* os) { *os << failure.name; }

class DialogueFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DialogueFailure, EndsWithStatusTwoAndTheReason) {
  const Failure& f = GetParam();
  TempDir dir;
  dir.write("data.txt", f.data);
  RunResult r = run_vorda(dir.path(), f.input);
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, MatchesRegex(report_pattern(f.unit, f.file, f.reason)));
  EXPECT_EQ(r.out, transcript_lines(f.lines));
  EXPECT_FALSE(dir.exists("VORDAndays-data.txt-upper-20.0-durmin-2.dat"))
      << "no result file is opened before the dialogue ends";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DialogueFailure,
    ::testing::Values(Failure{"EmptyInput", kTenDays, "", 5, "stdin", "End of file", 62},
                      Failure{"InputEndsBeforeDuration", kTenDays, "data.txt\n10\nu\n20.0\n", 5, "stdin",
                              "End of file", 79},
                      Failure{"ShortFile", kTenDays, answers("data.txt", "11", "u", "20.0", "2"), 1,
                              "data.txt", "End of file", 66},
                      Failure{"HeadingLine", std::string("t d m yr x\n") + kTenDays,
                              answers("data.txt", "10", "u", "20.0", "2"), 1, "data.txt",
                              "Bad integer for item 1 in list input", 66},
                      Failure{"SizeWithPoint", kTenDays, answers("data.txt", "365.0", "u", "20", "2"), 5,
                              "stdin", "Bad integer for item 1 in list input", 66},
                      Failure{"DurationWithPoint", kTenDays, answers("data.txt", "10", "u", "20", "3.0"), 5,
                              "stdin", "Bad integer for item 1 in list input", 79},
                      Failure{"ThresholdThenBlankAtEnd", kTenDays, "data.txt\n10\nu\n-20.0 ", 5, "stdin",
                              "End of file", 75},
                      Failure{"ThresholdLetters", kTenDays, answers("data.txt", "10", "u", "warm", "3"), 5,
                              "stdin", "Bad real number in item 1 of list input", 75},
                      Failure{"SizeOverflow", kTenDays, answers("data.txt", "2147483648", "u", "20", "3"), 5,
                              "stdin", "Integer overflow while reading item 1", 66},
                      Failure{"SizeAboveCapacity", kTenDays, answers("data.txt", "100001", "u", "20", "3"), 5,
                              "stdin", "Data size 100001 exceeds the maximum of 100000", 66}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dialogue, RefusedConsoleOutputIsARuntimeFailure) {
  RunOptions full;
  full.stdout_to_dev_full = true;
  RunResult r = run(answers("data.txt", "10", "u", "20", "2"), full);
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, MatchesRegex(report_pattern(6, "stdout", "No space left on device")));

  RunOptions closed;
  closed.stdout_closed_pipe = true;
  r = run(answers("data.txt", "10", "u", "20", "2"), closed);
  EXPECT_EQ(r.signal, 0) << "a closed pipe must not kill the process";
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, MatchesRegex(report_pattern(6, "stdout", "Broken pipe")));
}

}  // namespace
}  // namespace vorda::testing
