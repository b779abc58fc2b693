#include "input/plain_record.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/failure.hpp"
#include "input/reader.hpp"
#include "input/source.hpp"

namespace vorda {
namespace {

struct Line {
  const char* name;
  std::string bytes;  // the line, its LF included
};

// The record and the bytes the free-format reader takes from `bytes`
// followed by one more line.
struct GeneralRead {
  PlainRecord record{-999, -999, -999, -999, -999.0};
  std::size_t used = 0;
};

GeneralRead read_generally(const std::string& bytes) {
  const std::string after = "7\n";
  Source in = Source::from_bytes(bytes + after, 1, "data");
  GeneralRead r;
  const Target targets[] = {Target::integer(r.record.t), Target::integer(r.record.d),
                            Target::integer(r.record.m), Target::integer(r.record.yr),
                            Target::real(r.record.x)};
  read_list(in, targets);
  in.peek();
  r.used = bytes.size() + after.size() - in.buffered().size();
  return r;
}

// The real of a record line as the C library reads it: a reference that
// shares nothing with the two readers, whose lexical rules are shared.
double fifth_value(const std::string& line) {
  const char* p = line.c_str();
  for (int k = 0; k < 4; ++k) {
    p += std::strspn(p, " \t,;");
    p += std::strcspn(p, " \t,;");
  }
  return std::strtod(p + std::strspn(p, " \t,;"), nullptr);
}

TEST(PlainRecord, ReadsAsTheGeneralReaderDoes) {
  std::vector<Line> lines = {
      {"blanks", "1 2 3 2000 -3.5\n"},
      {"tabs and leading blanks", " \t1\t2 \t3\t2000\t25\n"},
      {"commas", "1,2,3,2000,-3.5\n"},
      {"semicolons and blanks around commas", "1 ;2 , 3,  2000 ,+3.5\n"},
      {"signs and leading zeros", "+1 -2 0003 -0 0.25\n"},
      {"integer bounds", "2147483647 -2147483647 0 1 1\n"},
      {"real forms", "1 1 1 1 5.\n"},
      {"point first", "1 1 1 1 -.5\n"},
      {"negative zero", "1 1 1 1 -0.0\n"},
      {"sixteen digits", "1 1 1 1 1234567890.123456\n"},
      {"sixteen digits above 2^53", "1 1 1 1 981599141980314.5\n"},
      {"sixteen digits above 2^53, three decimals", "1 1 1 1 -9815991419803.145\n"},
      {"many fraction digits", "1 1 1 1 0.1000000000000000055511151231257827\n"},
      {"halfway between two doubles", "1 1 1 1 9007199254740993\n"},
      {"CR LF", "1 2 3 2000 1.5\r\n"},
      {"blanks then CR LF", "1 2 3 2000 1.5  \r\n"},
      {"values after the record", "1 2 3 2000 1.5 99 extra\r\n"},
      {"comma after the record", "1 2 3 2000 1.5,x\r y\n"},
      {"slash after the record", "1 2 3 2000 1.5/ 2\n"},
  };
  for (int k = 1; k <= 15; ++k)
    lines.push_back({"a power of ten", "1 1 1 1 ." + std::string(k - 1, '0') + "1\n"});
  for (const Line& line : lines) {
    PlainRecord fast{};
    const std::size_t length = parse_plain_record(line.bytes + "8 8 8 8 8\n", fast);
    const GeneralRead general = read_generally(line.bytes);
    EXPECT_EQ(length, line.bytes.size()) << line.name;
    EXPECT_EQ(general.used, line.bytes.size()) << line.name;
    const PlainRecord& g = general.record;
    EXPECT_TRUE(fast.t == g.t && fast.d == g.d && fast.m == g.m && fast.yr == g.yr &&
                std::memcmp(&fast.x, &g.x, sizeof fast.x) == 0)
        << line.name << ": " << fast.t << " " << fast.d << " " << fast.m << " " << fast.yr << " " << fast.x
        << ", the general reader " << g.t << " " << g.d << " " << g.m << " " << g.yr << " " << g.x;
    const double reference = fifth_value(line.bytes);
    EXPECT_EQ(std::memcmp(&fast.x, &reference, sizeof fast.x), 0) << line.name << ": " << fast.x;
  }
}

TEST(PlainRecord, LeavesEveryOtherLineToTheGeneralReader) {
  const std::vector<Line> lines = {
      {"integer too large", "2147483648 1 1 1 1\n"},
      {"the refused lowest integer", "1 -2147483648 1 1 1\n"},
      {"digits that wrap 64 bits", "18446744073709551617 1 1 1 1\n"},
      {"point in an integer", "1 2.0 1 1 1\n"},
      {"two points", "1 2 3 2000 1.5.5\n"},
      {"exponent", "1 2 3 2000 1.5e1\n"},
      {"sign as exponent", "1 2 3 2000 1.5+1\n"},
      {"lone point", "1 2 3 2000 .\n"},
      {"infinity", "1 2 3 2000 inf\n"},
      {"too many digits for a double", "1 1 1 1 1" + std::string(400, '0') + "\n"},
      {"letter after a value", "1 2 3 2000 1.5x\n"},
      {"NUL in a value", std::string("1 2 3 2000 1\0"
                                     "5\n",
                                     16)},
      {"null value", "1,,3,2000,1.5\n"},
      {"slash within the record", "1 2 / 2000 1.5\n"},
      {"repeat count", "4*1 1.5\n"},
      {"record over two lines", "1 2 3\n2000 1.5\n"},
      {"lone CR after the record", "1 2 3 2000 1.5\r4\n"},
      {"lone CR within the record", "1 2\r3 2000 1.5\n"},
      {"empty line", "\n"},
      {"blank line", "  \t\n"},
      {"no separator", "1 2 3 2000-1.5\n"},
      {"quote", "1 2 3 '2000' 1.5\n"},
      {"no LF at the end of the bytes", "1 2 3 2000 1.5"},
  };
  for (const Line& line : lines) {
    PlainRecord r{};
    EXPECT_EQ(parse_plain_record(line.bytes, r), 0u) << line.name;
  }
}

TEST(PlainRecord, BufferedLinesEndAtTheLastLineEnd) {
  Source in = Source::from_bytes("1 1 1 1 1\n2 2 2 2 2\n3 3", 1, "data");
  EXPECT_EQ(buffered_lines(in), "1 1 1 1 1\n2 2 2 2 2\n");
  in.skip(20);
  EXPECT_EQ(buffered_lines(in), "");
}

}  // namespace
}  // namespace vorda
