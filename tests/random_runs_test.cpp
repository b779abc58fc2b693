// Whole runs on random answers and random data files, from a fixed seed.
// Whatever the input, a run ends with status 0 or 2 and never by a signal,
// prints a leading part of the one transcript, leaves no scratch file, and a
// run that ends with 0 leaves the complete file set of its threshold type.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "support/program.hpp"
#include "support/samples.hpp"

namespace vorda::testing {
namespace {

namespace fs = std::filesystem;

// Under the sanitizers a run takes ten times as long; fewer runs keep the
// test to a few seconds.
#ifdef __SANITIZE_ADDRESS__
constexpr int kRuns = 60;
#else
constexpr int kRuns = 250;
#endif

class Dice {
 public:
  explicit Dice(std::uint32_t seed) : rng_(seed) {}
  int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
  template <std::size_t N>
  const char* pick(const char* const (&options)[N]) {
    return options[below(static_cast<int>(N))];
  }

 private:
  std::mt19937 rng_;
};

const char* const kSeparators[] = {" ", " ", "  ", "\t", ",", ", ", ";", " ,"};
const char* const kLineEnds[] = {"\n", "\n", "\r\n", "\r"};
const char* const kBadTokens[] = {"x",   "1.0", "2e3",  "'5'", "2*",  "/",          ",",
                                  "0*1", "-",   "\x01", "+",   "5*1", "2147483648", "nan("};
const char* const kRealForms[] = {"18", "-3.5", "25.", ".5", "2.5e1", "1d1", "2-1", "inf", "-nan", "3*7.5"};

std::string random_value(Dice& dice, bool real) {
  if (real && dice.chance(30)) return dice.pick(kRealForms);
  std::string v = std::to_string(dice.below(real ? 60 : 40) - (real ? 20 : 5));
  if (real && dice.chance(50)) v += "." + std::to_string(dice.below(10));
  return v;
}

// Records t d m yr x with random separators and line ends; now and then a
// bad token, a record split over two lines, empty lines, extra values or a
// last line without its line end.
std::string random_data(Dice& dice, int records) {
  const int bad = dice.chance(75) ? 0 : 3;  // percent of bad tokens
  std::string out;
  const char* line_end = dice.pick(kLineEnds);
  for (int i = 1; i <= records; ++i) {
    if (dice.chance(5)) out += line_end;
    const int year = 1990 + (i - 1) / 12;
    const std::string values[] = {std::to_string(i), std::to_string((i - 1) % 28 + 1),
                                  std::to_string((i - 1) % 12 + 1), std::to_string(year),
                                  random_value(dice, true)};
    for (int k = 0; k < 5; ++k) {
      if (k > 0) out += dice.chance(4) ? line_end : dice.pick(kSeparators);
      out += dice.chance(bad) ? dice.pick(kBadTokens) : values[k];
    }
    if (dice.chance(5)) out += " 99 extra";
    if (i < records || !dice.chance(20)) out += dice.chance(bad) ? dice.pick(kLineEnds) : line_end;
  }
  if (dice.chance(bad)) {
    for (int k = dice.below(64); k > 0; --k) out += static_cast<char>(dice.below(256));
  }
  return out;
}

const char* const kNames[] = {"data.txt",       "data.txt", "data.txt", "data.txt", "data.txt", "'data.txt'",
                              "\"data.txt\" x", "nope.txt", ",",        "sub",      "'data.txt"};
const char* const kTypes[] = {"u", "l", "u", "l", "upper", "lower", "'l'", "U", "x", ",", "/", "'u'x"};
const char* const kThresholds[] = {"20",   "18.5",  "-3", ".5",  "0",     "1e18", "nan", "inf",
                                   "-inf", "2.5d1", ",",  "abc", "1e400", "-0",   "22"};
const char* const kOddCounts[] = {"0", "-5", ",", "100001", "12x", "3*"};
const char* const kDurations[] = {"1", "2", "3", "0", "-3", "12345678", ",", "2.0", "x", "2147483647", "2*"};

// The threshold type a type answer gives.
std::string type_of(std::string_view answer) {
  if (answer == "u" || answer == "upper") return "upper";
  if (answer == "l" || answer == "lower" || answer == "'l'") return "lower";
  return "-----";
}

// Names in the temporary directory that a scratch file could have.
std::set<std::string> scratch_names() {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
    std::string name = entry.path().filename();
    if (name.size() == 12 && name.starts_with("vorda-")) names.insert(name);
  }
  return names;
}

// The files a finished run leaves: the three of every run, and two more for
// an upper or a lower threshold, all with one name tail.
void expect_complete_file_set(const TempDir& dir, const std::string& type, const std::string& what) {
  std::set<std::string> found;
  std::string tail;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    std::string name = entry.path().filename();
    if (name.starts_with("VORDA")) found.insert(name);
    if (name.starts_with("VORDAndays-")) tail = name.substr(11);
  }
  ASSERT_FALSE(tail.empty()) << what;
  EXPECT_TRUE(tail.starts_with("data.txt-" + type + "-")) << what << tail;
  std::set<std::string> expected = {"VORDA-" + tail, "VORDAshort-" + tail, "VORDAndays-" + tail};
  if (type == "upper") expected.insert({"VORDA-WSDI-" + tail, "VORDA-SGS--" + tail});
  if (type == "lower") expected.insert({"VORDA-CSDI-" + tail, "VORDA-LFD--" + tail});
  EXPECT_EQ(found, expected) << what;
  for (const std::string& name : expected) {
    if (name.starts_with("VORDAshort-")) continue;
    EXPECT_TRUE(dir.read(name).starts_with(" VORDA: Results\r\n")) << what << name;
  }
}

TEST(RandomRuns, EndWithStatusZeroOrTwoAndLeaveACompleteFileSet) {
  Dice dice(20261207);
  const std::string transcript = golden_transcript();
  const std::regex report(
      "At line [0-9]+ of file [a-z_]+\\.cpp \\(unit = [0-9], file = '[^'\n]*'\\)\n"
      "VORDA runtime error: [^\n]+\n");
  const std::set<std::string> scratch_before = scratch_names();
  int finished = 0, failed = 0;

  for (int run = 0; run < kRuns; ++run) {
    TempDir dir;
    const int records = dice.below(40);
    dir.write("data.txt", random_data(dice, records));
    fs::create_directory(dir / "sub");

    const std::string count = dice.chance(80)   ? std::to_string(records - dice.below(3))
                              : dice.chance(50) ? std::to_string(records + 1)
                                                : dice.pick(kOddCounts);
    const std::string type = dice.pick(kTypes);
    const std::string given[] = {dice.pick(kNames), count, type, dice.pick(kThresholds),
                                 dice.pick(kDurations)};
    const char* line_end = dice.chance(70) ? "\n" : "\r\n";
    std::string input;
    const int answered = dice.chance(90) ? 5 : dice.below(5);
    for (int k = 0; k < answered; ++k) {
      if (dice.chance(5)) input += line_end;
      input += given[k] + line_end;
    }
    const std::string what = "run " + std::to_string(run) + ", answers [" + input + "]";

    RunResult r = run_vorda(dir.path(), input);
    ASSERT_EQ(r.signal, 0) << what;
    ASSERT_TRUE(r.status == 0 || r.status == 2) << what << " status " << r.status;
    EXPECT_TRUE(transcript.starts_with(r.out)) << what;
    if (r.status == 0) {
      ++finished;
      EXPECT_EQ(r.out, transcript) << what;
      EXPECT_EQ(r.err, "") << what;
      expect_complete_file_set(dir, type_of(type), what);
    } else {
      ++failed;
      EXPECT_TRUE(std::regex_match(r.err, report)) << what << r.err;
    }
  }
  // Both outcomes must be common for the test to mean anything.
  EXPECT_GT(finished, kRuns / 5) << finished << " finished, " << failed << " failed";
  EXPECT_GT(failed, kRuns / 5) << finished << " finished, " << failed << " failed";

  // A name seen now may belong to a run of another test that is still going;
  // one that outlasts a moment was left behind.
  std::set<std::string> left;
  for (const std::string& name : scratch_names())
    if (!scratch_before.contains(name)) left.insert(name);
  if (!left.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (const std::string& name : left) EXPECT_FALSE(fs::exists(fs::temp_directory_path() / name)) << name;
}

}  // namespace
}  // namespace vorda::testing
