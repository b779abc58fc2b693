// Whole result files of small series whose results are worked out by hand.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "support/program.hpp"
#include "support/samples.hpp"

namespace vorda::testing {
namespace {

struct Day {
  int yr;
  double x;
};

// One record per day: counters from 1, days of the month running 1..28
// within month 1..12 (the dates only matter for the event files).
std::string series_text(const std::vector<Day>& days) {
  std::ostringstream out;
  int t = 0;
  for (const Day& day : days) {
    ++t;
    out << t << ' ' << (t - 1) % 28 + 1 << ' ' << ((t - 1) / 28) % 12 + 1 << ' ' << day.yr << ' ' << day.x
        << '\n';
  }
  return out.str();
}

std::vector<Day> year(int yr, std::vector<double> values) {
  std::vector<Day> days;
  for (double x : values) days.push_back({yr, x});
  return days;
}

std::vector<Day> operator+(std::vector<Day> a, const std::vector<Day>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The records after the twelve header lines of a result file.
std::string records(const std::string& file) {
  std::size_t pos = 0;
  for (int i = 0; i < 12 && pos != std::string::npos; ++i) pos = file.find("\r\n", pos) + 2;
  return file.substr(pos);
}

class WorkedExample : public ::testing::Test {
 protected:
  // Runs on `days` and returns the tail shared by the result file names.
  std::string run(const std::vector<Day>& days, const char* type, const char* thres, const char* durmin) {
    return run_text(series_text(days), static_cast<int>(days.size()), type, thres, durmin);
  }
  std::string run_text(const std::string& data, int n, const char* type, const char* thres,
                       const char* durmin) {
    dir.write("s.txt", data);
    RunResult r = run_vorda(dir.path(), answers("s.txt", std::to_string(n), type, thres, durmin));
    EXPECT_EQ(r.status, 0) << r.err;
    std::ostringstream tail;
    tail << "s.txt-" << (type[0] == 'u' ? "upper" : "lower") << '-' << thres << "-durmin-" << durmin
         << ".dat";
    return tail.str();
  }
  std::string file(const std::string& name) { return dir.read(name); }
  TempDir dir;
};

TEST_F(WorkedExample, EventsAboveAndBelowTwenty) {
  std::string tail = run_text(kTenDays, 10, "u", "20.0", "2");
  EXPECT_EQ(records(file("VORDA-" + tail)),
            crlf("         3.000  3  1 1990                     3          6.000\n"
                 "         6.500  7  1 1990                     2         11.000\n"
                 "         9.500 10  1 1990                     2         21.000\n"));
  EXPECT_EQ(file("VORDAshort-" + tail), crlf("       3.000          6.000\n"
                                             "       6.500         11.000\n"
                                             "       9.500         21.000\n"));

  tail = run_text(kTenDays, 10, "u", "20.0", "3");
  EXPECT_EQ(file("VORDAshort-" + tail), crlf("       3.000          6.000\n"));

  tail = run_text(kTenDays, 10, "l", "20.0", "1");
  EXPECT_EQ(records(file("VORDA-" + tail)),
            crlf("         1.000  1  1 1990                     1         -2.000\n"
                 "         5.000  5  1 1990                     1         -1.000\n"
                 "         8.000  8  1 1990                     1         -2.000\n"));

  tail = run_text(kTenDays, 10, "l", "20.0", "2");
  EXPECT_EQ(records(file("VORDA-" + tail)), "");
  EXPECT_EQ(file("VORDAshort-" + tail), "");
}

TEST_F(WorkedExample, EventDatesWhereCountersHaveGaps) {
  // 100 and 200 both pass: the midpoint 150 is 50 from each, the earlier
  // record wins. 100, 101, 200: midpoint 133.667 rounds to 134, nearest 101.
  std::string tail = run_text(
      "100 1 5 2000 30\n200 2 5 2000 30\n300 3 5 2000 0\n"
      "400 4 5 2000 30\n401 5 5 2000 30\n500 6 5 2000 30\n",
      6, "u", "25.0", "2");
  EXPECT_EQ(records(file("VORDA-" + tail)),
            crlf("       150.000  1  5 2000                     2         10.000\n"
                 "       433.667  5  5 2000                     3         15.000\n"));
}

TEST_F(WorkedExample, DaysBeyondTheThreshold) {
  auto days = year(2000, {26.0, 24.0, 27.5}) + year(2001, {30.0, 25.0, 26.0});
  EXPECT_EQ(records(file("VORDAndays-" + run(days, "u", "25.0", "1"))), crlf(" 2000   2\n 2001   2\n"));
  EXPECT_EQ(records(file("VORDAndays-" + run(days, "l", "25.0", "1"))), crlf(" 2000   1\n 2001   0\n"));
  EXPECT_EQ(records(file("VORDAndays-" + run(days + year(2002, {28.0}), "u", "25.0", "1"))),
            crlf(" 2000   2\n 2001   2\n"));
  auto unordered =
      year(2000, {30}) + year(2001, {30}) + year(2000, {30}) + year(2001, {20}) + year(2002, {30});
  EXPECT_EQ(records(file("VORDAndays-" + run(unordered, "u", "25.0", "1"))), crlf(" 2000   2\n 2001   1\n"));
}

TEST_F(WorkedExample, WarmAndColdSpellDurationIndices) {
  auto warm =
      year(2000, {26, 27, 28, 20, 26, 26, 20, 26, 27, 28, 29, 20}) + year(2001, {30, 30, 30, 30, 20, 30});
  EXPECT_EQ(records(file("VORDA-WSDI-" + run(warm, "u", "25.0", "3"))), crlf(" 2000   7\n 2001   4\n"));

  auto warm13 = year(2000, {26, 27, 28, 20, 26, 26, 20, 26, 27, 28, 29, 20}) + year(2001, {30});
  EXPECT_EQ(records(file("VORDA-WSDI-" + run(warm13, "u", "25.0", "3"))), crlf(" 2000   7\n 2000   0\n"));

  auto cold = year(2000, {-1, -2, 3, -1, -1, 2}) + year(2001, {-5, -5, -5, 1, 1});
  EXPECT_EQ(records(file("VORDA-CSDI-" + run(cold, "l", "0.0", "2"))), crlf(" 2000   4\n 2001   3\n"));

  EXPECT_EQ(records(file("VORDA-CSDI-" + run(year(1999, {-3}), "l", "0.0", "2"))), crlf(" -999   0\n"));
}

TEST_F(WorkedExample, StartOfGrowingSeason) {
  std::vector<double> first(40, 6.0);
  for (int i = 6; i <= 19; ++i) first[i - 1] = 4.0;
  auto days = year(2000, first) + year(2001, std::vector<double>(35, 4.0));
  EXPECT_EQ(records(file("VORDA-SGS--" + run(days, "u", "5.0", "6"))), crlf(" 2000  32\n 2001   0\n"));
}

TEST_F(WorkedExample, LastFrostDay) {
  std::vector<double> first(200, 1.0), second(10, 1.0);
  for (int ordinal : {3, 50, 150, 181, 190}) first[ordinal - 1] = -1.0;
  for (int ordinal : {1, 4}) second[ordinal - 1] = -1.0;
  EXPECT_EQ(records(file("VORDA-LFD--" + run(year(2000, first) + year(2001, second), "l", "0.0", "1"))),
            crlf(" 2000 181\n 2001   4\n"));

  std::vector<double> frostless(200, 1.0);
  frostless[0] = -1.0;
  EXPECT_EQ(records(file("VORDA-LFD--" + run(year(2000, frostless) + year(2001, second) +
                                                 year(2002, std::vector<double>(200, 1.0)),
                                             "l", "0.0", "1"))),
            crlf(" 2000   1\n 2001   4\n 2002 ***\n"));
  EXPECT_EQ(records(file("VORDA-LFD--" + run(year(2000, {5}), "l", "0.0", "1"))), crlf(" -999 ***\n"));
}

}  // namespace
}  // namespace vorda::testing
