#pragma once

#include <cstddef>
#include <string>

namespace vorda::testing {

// Ten days of January 1990, the data file of most whole-program tests. Above
// 20 they hold events of 3, 2 and 2 days.
inline constexpr char kTenDays[] =
    "1 1 1 1990 18\n2 2 1 1990 21\n3 3 1 1990 22\n4 4 1 1990 23\n5 5 1 1990 19\n"
    "6 6 1 1990 25\n7 7 1 1990 26\n8 8 1 1990 18\n9 9 1 1990 30\n10 10 1 1990 31\n";

// The console output of a whole run (tests/golden/transcript.txt), CR LF ended.
std::string golden_transcript();

// Its first `count` lines.
std::string transcript_lines(std::size_t count);

}  // namespace vorda::testing
