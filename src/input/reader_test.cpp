#include "input/reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/failure.hpp"

namespace vorda {
namespace {

// One target of a test read, with its value before the read: -999 for
// numbers, '#' in every place of a text.
struct Slot {
  char kind = 'i';  // 'i', 'r' or 'c'
  std::int32_t i = -999;
  double r = -999.0;
  std::string c;
};

std::string render(const Slot& s) {
  if (s.kind == 'i') return std::to_string(s.i);
  if (s.kind == 'c') return "[" + s.c + "]";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", s.r);
  return buf;
}

// Runs reads over `input`. `reads` gives the targets of each read, reads
// separated by '|', targets by blanks: i (integer), r (real), cN (text of N
// characters). Returns the values after each read, reads separated by " | ";
// a failing read gives "!" and its reason, and ends the run.
std::string run(const std::string& input, const std::string& reads) {
  Source in = Source::from_bytes(input, 1, "data.txt");
  std::string out;
  std::size_t start = 0;
  for (int n = 0; start <= reads.size(); ++n) {
    std::size_t bar = reads.find('|', start);
    if (bar == std::string::npos) bar = reads.size();
    std::vector<Slot> slots;
    for (std::size_t p = start; p < bar; ++p) {
      char k = reads[p];
      if (k == ' ') continue;
      Slot s;
      s.kind = k;
      if (k == 'c') {
        std::size_t len = 0;
        while (p + 1 < bar && reads[p + 1] >= '0' && reads[p + 1] <= '9')
          len = len * 10 + static_cast<std::size_t>(reads[++p] - '0');
        s.c.assign(len, '#');
      }
      slots.push_back(s);
    }
    std::vector<Target> targets;
    for (Slot& s : slots) {
      if (s.kind == 'i') targets.push_back(Target::integer(s.i));
      if (s.kind == 'r') targets.push_back(Target::real(s.r));
      if (s.kind == 'c') targets.push_back(Target::text(s.c));
    }
    if (n > 0) out += " | ";
    try {
      read_list(in, targets);
    } catch (const RuntimeFailure& f) {
      return out + "!" + f.reason();
    }
    for (std::size_t k = 0; k < slots.size(); ++k) out += (k ? " " : "") + render(slots[k]);
    start = bar + 1;
  }
  return out;
}

struct Case {
  std::string input;
  const char* reads;
  const char* expected;
};

void check_table(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.input, c.reads), c.expected) << "input: [" << c.input << "] reads: " << c.reads;
  }
}

TEST(ReadList, SeparatorsAndLines) {
  check_table({
      {"1 1 1 2000 -3.5\n", "i i i i r", "1 1 1 2000 -3.5"},
      {"1,1,1,2000,-3.5\n", "i i i i r", "1 1 1 2000 -3.5"},
      {"1;1;1;2000;-3.5\n", "i i i i r", "1 1 1 2000 -3.5"},
      {"1, 1 ,1 , 2000 ,-3.5\n", "i i i i r", "1 1 1 2000 -3.5"},
      {"1\t1 \t1\t2000\t-3.5\n", "i i i i r", "1 1 1 2000 -3.5"},
      {"  \t 1 1 1 2000 -3.5   \n", "i i i i r", "1 1 1 2000 -3.5"},
      // A record over several lines, and the next read on the line after.
      {"1 1 1\n2000 -3.5\n7\n", "i i i i r | i", "1 1 1 2000 -3.5 | 7"},
      {"1\n\n \n1\n1 2000\n-3.5\n7\n", "i i i i r | i", "1 1 1 2000 -3.5 | 7"},
      // Values after the last target go with the rest of the line.
      {"1 1 1 2000 -3.5 99 extra\n7\n", "i i i i r | i", "1 1 1 2000 -3.5 | 7"},
      {"u 17\n5\n", "c1 | i", "[u] | 5"},
      // Empty lines and blank lines before the first value.
      {"\n\n   \n\t\n5\n", "i", "5"},
      {"\r\n\r\n5\r\n", "i", "5"},
      // Null values keep the target's value.
      {",\n7\n", "i | i", "-999 | 7"},
      {"1,,1,2000,-3.5\n", "i i i i r", "1 -999 1 2000 -3.5"},
      {"1, ,1,2000,-3.5\n", "i i i i r", "1 -999 1 2000 -3.5"},
      {",1\n", "i i", "-999 1"},
      {"1,;2\n", "i i i", "1 -999 2"},
      // One comma after line ends belongs to them; a second one is a null.
      {"\n,5\n", "i", "5"},
      {"1\n,2\n", "i i", "1 2"},
      {"1\n,,2\n", "i i i", "1 -999 2"},
      // A line end after a comma is not a null: the value comes later.
      {"1,1,1,\n2000,-3.5\n", "i i i i r", "1 1 1 2000 -3.5"},
      {"1,1,1,  \n\n  2000,-3.5\n", "i i i i r", "1 1 1 2000 -3.5"},
      {"1,1,1,\n,2000\n", "i i i i r", "1 1 1 -999 2000"},
      {"5,\n7\n", "i | i", "5 | 7"},
      {",\n5\n", "i i", "-999 5"},
      // The slash ends the list.
      {"1 1 1 2000 /\n7\n", "i i i i r | i", "1 1 1 2000 -999 | 7"},
      {"1 1 1 2000/ 4\n7\n", "i i i i r | i", "1 1 1 2000 -999 | 7"},
      {"1 , / 3\n", "i i i", "1 -999 -999"},
      {"/\n", "i i r", "-999 -999 -999"},
      {"\n / \n", "i", "-999"},
      // CR LF, LF and a lone CR end lines alike.
      {"1 2\r\n3\r\n", "i i | i", "1 2 | 3"},
      {"1 2\r3\r", "i i | i", "1 2 | 3"},
      {"1\r2\r3\r", "i i | i", "1 2 | 3"},
      {"1\r\n\r\n2\r\n", "i i", "1 2"},
      {"1\r\r2\n", "i i", "1 2"},
      // Skipping the rest of a line runs to the next LF, past lone CRs.
      {"1 2 9\r3\r4\n5\n", "i i | i", "1 2 | 5"},
      {"1 2 9\r\n3\r\n", "i i | i", "1 2 | 3"},
      // A read with no targets skips one line.
      {"1\n2\n", " | i", " | 2"},
  });
}

TEST(ReadList, RepeatCounts) {
  check_table({
      {"4*1 2.5\n", "i i i i r", "1 1 1 1 2.5"},
      {"2*5 7\n", "i i i", "5 5 7"},
      {"007*1\n", "i i", "1 1"},
      {"3*5/ 8\n", "i i i i", "5 5 5 -999"},
      {"2*1.5\n", "r r", "1.5 1.5"},
      {"2*-1.5 3*\n", "r r r i i", "-1.5 -1.5 -999 -999 -999"},
      // r* alone gives r nulls.
      {"2* 7\n", "i i i", "-999 -999 7"},
      {"2*,7\n", "i i i", "-999 -999 7"},
      {"2*\n7\n", "i i i", "-999 -999 7"},
      {"2*\n", "r c1", "-999 [#]"},
      // A count beyond the read is cut; the rest of the line goes.
      {"10*1 7\n3\n", "i i | i", "1 1 | 3"},
      {"200000000*5\n", "i i i i i", "5 5 5 5 5"},
      {"200000000* 5\n9\n", "i i i i i | i", "-999 -999 -999 -999 -999 | 9"},
      // Texts repeat whole, cut or padded per target.
      {"3*abcd\n", "c2 c6 c1", "[ab] [abcd  ] [a]"},
      {"2*'x y'\n", "c3 c4", "[x y] [x y ]"},
      {"2*3*x\n", "c3 c3", "[3*x] [3*x]"},
      // Failures.
      {"0*5\n", "i", "!Zero repeat count in item 1 of list input"},
      {"1 000*5\n", "i i", "!Zero repeat count in item 2 of list input"},
      {"200000001*5\n", "i", "!Repeat count overflow in item 1 of list input"},
      {"99999999999999999999999999*5\n", "r", "!Repeat count overflow in item 1 of list input"},
      {"5*1\n", "i i i i r", "!Read type INTEGER where REAL was expected for item 5"},
      {"2*1.5\n", "r c1", "!Read type REAL where CHARACTER was expected for item 2"},
      {"2*x\n", "c1 i", "!Read type CHARACTER where INTEGER was expected for item 2"},
      {"+3*5\n", "i", "!Bad integer for item 1 in list input"},
      {"3*3*5\n", "i", "!Bad integer for item 1 in list input"},
      {"3**5\n", "r", "!Bad real number in item 1 of list input"},
  });
}

TEST(ReadList, Integers) {
  check_table({
      {"+12\n", "i", "12"},
      {"-0012\n", "i", "-12"},
      {"-0\n", "i", "0"},
      {"2147483647 -2147483647\n", "i i", "2147483647 -2147483647"},
      {"000000000000000000002147483647\n", "i", "2147483647"},
      {"2147483648\n", "i", "!Integer overflow while reading item 1"},
      {"1 -2147483648\n", "i i", "!Integer overflow while reading item 2"},
      {"99999999999999999999999999999\n", "i", "!Integer overflow while reading item 1"},
      {"1 1 1 2000.0 1.0\n", "i i i i r", "!Bad integer for item 4 in list input"},
      {"1 1 1 2e3 1.0\n", "i i i i r", "!Bad integer for item 4 in list input"},
      {"1.0\n", "i", "!Bad integer for item 1 in list input"},
      {"- 5\n", "i", "!Bad integer for item 1 in list input"},
      {"+\n", "i", "!Bad integer for item 1 in list input"},
      {"--5\n", "i", "!Bad integer for item 1 in list input"},
      {"12345678901234x\n", "i", "!Bad integer for item 1 in list input"},
      {"t d m yr x\n", "i i i i r", "!Bad integer for item 1 in list input"},
      {std::string("1\0002\n", 4), "i", "!Bad integer for item 1 in list input"},
      {"\"5\"\n", "i", "!Bad integer for item 1 in list input"},
  });
}

TEST(ReadList, Reals) {
  check_table({
      {"2.5E1 2.5e1 2.5d1 2.5D1 25\n", "r r r r r", "25 25 25 25 25"},
      {"+25. 2.5+1 250e-1 2.5e+1 2500D-02\n", "r r r r r", "25 25 25 25 25"},
      {"2-1 1.5+3 -1.5-3\n", "r r r", "0.20000000000000001 1500 -0.0015"},
      {".5 5. . -. +.\n", "r r r r r", "0.5 5 0 -0 0"},
      {"0.1 -0 007.50\n", "r r r", "0.10000000000000001 -0 7.5"},
      {"2,5\n", "r", "2"},
      {"inf INF -Infinity +iNfInItY\n", "r r r r", "inf inf -inf inf"},
      {"nan NaN nan() nan(0x1f) -nan\n", "r r r r r", "nan nan nan nan -nan"},
      // Correct rounding, and the edges of the format.
      {"9007199254740993 9007199254740995\n", "r r", "9007199254740992 9007199254740996"},
      {"981599141980314.5 -9815991419803.145\n", "r r", "981599141980314.5 -9815991419803.1445"},
      {"1.7976931348623157e308 1.7976931348623159e308\n", "r r", "1.7976931348623157e+308 inf"},
      {"2.4703282292062328e-324 2.4703282292062327e-324\n", "r r", "4.9406564584124654e-324 0"},
      {"1e-310\n", "r", "9.9999999999999694e-311"},
      {"1e999999999999999999999999 -1d400\n", "r r", "inf -inf"},
      {"1e-999999999999999999999999 -1d-400\n", "r r", "0 -0"},
      {"0e999999999999999999999999\n", "r", "0"},
      // Failures, with the item counter.
      {"1 1 1 2000 2.5q1\n", "i i i i r", "!Bad real number in item 5 of list input"},
      {"1.2.3\n", "r", "!Bad real number in item 1 of list input"},
      {"-\n", "r", "!Bad real number in item 1 of list input"},
      {"e5\n", "r", "!Bad real number in item 1 of list input"},
      {"1e\n", "r", "!Bad real number in item 1 of list input"},
      {"1e+\n", "r", "!Bad real number in item 1 of list input"},
      {"1+\n", "r", "!Bad real number in item 1 of list input"},
      {"1e5.0\n", "r", "!Bad real number in item 1 of list input"},
      {"1 2x\n", "r r", "!Bad real number in item 2 of list input"},
      {"infin\n", "r", "!Bad real number in item 1 of list input"},
      {"infx\n", "r", "!Bad real number in item 1 of list input"},
      {"infinityx\n", "r", "!Bad real number in item 1 of list input"},
      {"nanx\n", "r", "!Bad real number in item 1 of list input"},
      {"nan(1\n", "r", "!Bad real number in item 1 of list input"},
      {"nan(1)x\n", "r", "!Bad real number in item 1 of list input"},
      {"'1.5'\n", "r", "!Bad real number in item 1 of list input"},
  });
}

TEST(ReadList, PowersOfTenAsTheCLibraryReadsThem) {
  for (int k = -25; k <= 25; ++k) {
    const std::string text = "3e" + std::to_string(k);
    char expected[40];
    std::snprintf(expected, sizeof expected, "%.17g", std::strtod(text.c_str(), nullptr));
    EXPECT_EQ(run(text + "\n", "r"), expected);
  }
}

TEST(ReadList, Texts) {
  check_table({
      {"C:\\data\\series.txt\n", "c20", "[C:\\data\\series.txt  ]"},
      {"data/series.txt\n", "c6", "[data  ]"},
      {"my series.txt\n", "c6", "[my    ]"},
      {"'my series.txt'\n", "c15", "[my series.txt  ]"},
      {"\"a, b; c/d\"\n", "c9", "[a, b; c/d]"},
      {"'it''s' \"say \"\"hi\"\"\"\n", "c5 c9", "[it's ] [say \"hi\" ]"},
      {"it's\n", "c4", "[it's]"},
      {"a'b\"c\n", "c5", "[a'b\"c]"},
      {"'a\nb' 'c\r\nd' 'e\rf'\n", "c2 c2 c2", "[ab] [cd] [ef]"},
      {"upper\n", "c1", "[u]"},
      {"'l'\n", "c1", "[l]"},
      {"''\n", "c2", "[  ]"},
      {"12ab 12'a\n", "c4 c4", "[12ab] [12'a]"},
      {"abc,,def\n", "c3 c3 c3", "[abc] [###] [def]"},
      {"'ab'x\n", "c2", "!Invalid string input in item 1"},
      {"x 'ab''\n", "c1 c2", "!End of file"},
  });
  std::string long_name(100, 'n');
  std::string expected = "[" + long_name.substr(0, 80) + "]";
  EXPECT_EQ(run(long_name + "\n", "c80"), expected);
}

// A value that meets the end of the source without a line end.
TEST(ReadList, EndOfSource) {
  check_table({
      {"", "i", "!End of file"},
      {"\n\n  \n", "i", "!End of file"},
      {"1 1\n", "i i i", "!End of file"},
      {"1,1,1,2000,\n", "i i i i r", "!End of file"},
      {"5\n", "i | i", "5 | !End of file"},
      // Accepted: a real that began with a sign or a repeat count, or whose
      // point follows a digit, without exponent.
      {"1 1 1 2000 -3.5", "i i i i r", "1 1 1 2000 -3.5"},
      {"+2", "r", "2"},
      {"2.5", "r", "2.5"},
      {"5.", "r", "5"},
      {"-.", "r", "-0"},
      {"3*25", "r r r", "25 25 25"},
      {"-3.5\n", "r", "-3.5"},
      {"-3.5", "r | i", "-3.5 | !End of file"},
      // Everything else fails.
      {"25", "r", "!End of file"},
      {".5", "r", "!End of file"},
      {"2.5e1", "r", "!End of file"},
      {"-2.5e1", "r", "!End of file"},
      {"-inf", "r", "!End of file"},
      {"nan", "r", "!End of file"},
      {"5", "i", "!End of file"},
      {"-5", "i", "!End of file"},
      {"3*5", "i", "!End of file"},
      {"3*", "r", "!End of file"},
      {"abc", "c3", "!End of file"},
      {"'abc'", "c3", "!End of file"},
      {"-3.5", "r r", "!End of file"},
      {"-3.5,", "r", "!End of file"},
      // Blanks or tabs are a separator that is not a line end: the rest of
      // their line has no LF.
      {"1 1 1 2000 -3.5 ", "i i i i r", "!End of file"},
      {"-3.5\t", "r", "!End of file"},
      {"2.5 \t ", "r", "!End of file"},
      {"1*2.5 ", "r", "!End of file"},
      // Skipping the rest of a line that has no LF.
      {"1 1 1 2000 -3.5 9", "i i i i r", "!End of file"},
      {"1 1 1 2000 /", "i i i i r", "!End of file"},
      {"1 1 1 2000 -3.5 9\r", "i i i i r", "!End of file"},
      // A value cut short by the end is an end of file; a malformed one
      // keeps its own reason.
      {"-", "r", "!End of file"},
      {"1e", "r", "!End of file"},
      {"nan(x", "r", "!End of file"},
      {"+", "i", "!End of file"},
      {"99999999999", "i", "!End of file"},
      {"1x", "i", "!Bad integer for item 1 in list input"},
      {"1x", "r", "!Bad real number in item 1 of list input"},
      {"0*5", "i", "!Zero repeat count in item 1 of list input"},
  });
}

TEST(ReadList, FailureNamesChannelAndReadStatement) {
  Source in = Source::from_bytes("x\n", 1, "series.txt");
  std::int32_t v = 0;
  const Target t[] = {Target::integer(v)};
  const int line = __LINE__ + 2;
  try {
    read_list(in, t);
    FAIL() << "no failure";
  } catch (const RuntimeFailure& f) {
    EXPECT_EQ(f.unit(), 1);
    EXPECT_EQ(f.file(), "series.txt");
    EXPECT_EQ(f.reason(), "Bad integer for item 1 in list input");
    EXPECT_EQ(f.where().line(), static_cast<unsigned>(line));
    EXPECT_NE(std::string(f.where().file_name()).find("reader_test.cpp"), std::string::npos);
  }
}

TEST(ReadList, LongDigitStringsRoundCorrectly) {
  // 2^53 + 1 lies halfway between two doubles: even wins unless a far
  // non-zero digit lifts it above the halfway point.
  std::string zeros(2000, '0');
  EXPECT_EQ(run("9007199254740993." + zeros + "\n", "r"), "9007199254740992");
  EXPECT_EQ(run("9007199254740993." + zeros + "1\n", "r"), "9007199254740994");
  EXPECT_EQ(run("9007199254740993" + zeros + "1e-2001\n", "r"), "9007199254740994");
  EXPECT_EQ(run("0." + zeros + "9007199254740993" + zeros + "1e2016\n", "r"), "9007199254740994");
  // A megabyte of digits.
  std::string ones(1 << 20, '1');
  EXPECT_EQ(run("0." + ones + "\n", "r"), "0.1111111111111111");
  EXPECT_EQ(run(ones + "e-1048575\n", "r"), "1.1111111111111112");
  EXPECT_EQ(run(ones + "\n", "r"), "inf");
  EXPECT_EQ(run("-0." + std::string(1 << 20, '0') + "1\n", "r"), "-0");
}

TEST(ReadList, VeryLongLines) {
  std::string line(1 << 20, 'a');
  EXPECT_EQ(run(line + "\n7\n", "c3 | i"), "[aaa] | 7");
  EXPECT_EQ(run("1 " + line + "\n7\n", "i | i"), "1 | 7");
  EXPECT_EQ(run(line + "\n", "i"), "!Bad integer for item 1 in list input");
  EXPECT_EQ(run(std::string(1 << 20, ' ') + "5\n", "i"), "5");
  EXPECT_EQ(run(std::string(1 << 20, '\n') + "5\n", "i"), "5");
}

// Arbitrary bytes end every read in a value or a reported failure; each read
// that succeeds takes at least one byte, so the reads end.
TEST(ReadList, ArbitraryBytes) {
  std::mt19937 rng(12345);
  const char alphabet[] = "0123456789+-.,;/*'\" \t\r\neEdDinfaINF()x\0";
  for (int round = 0; round < 400; ++round) {
    std::string bytes(rng() % 200, '\0');
    for (char& b : bytes) {
      b = (round % 2) ? static_cast<char>(rng() & 0xff) : alphabet[rng() % (sizeof alphabet - 1)];
    }
    Source in = Source::from_bytes(bytes, 1, "x");
    std::int32_t a = 0, b = 0;
    double r = 0;
    char text[5];
    const Target targets[] = {Target::integer(a), Target::real(r), Target::text(text), Target::integer(b)};
    std::size_t reads = 0;
    try {
      for (; reads <= bytes.size(); ++reads) read_list(in, targets);
      ADD_FAILURE() << "more reads than bytes";
    } catch (const RuntimeFailure&) {
    }
  }
}

}  // namespace
}  // namespace vorda
