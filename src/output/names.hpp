#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/source_location.hpp"
#include "core/threshold.hpp"

namespace vorda {

// The threshold and the minimum duration as they appear in file names:
// "(f0.1)" and "(i0)" renderings read back into 20 and 7 characters.
struct NameTexts {
  std::array<char, 20> thres;
  std::array<char, 7> durmin;
};

// Renders the name texts through an anonymous scratch file on channel 1:
// written with the output formatter, rewound, and read back with the
// free-format reader. A direct conversion would give the same texts when all
// goes well, but the round trip is part of what a run does and can fail: a
// temporary directory that cannot hold the file, or a file size limit below
// one record, ends the run with a report on channel 1 before any result file
// is opened, and the texts take the reader's rules (leading blanks skipped,
// cut to the store's length). A failure names `where`, the caller's
// statement.
NameTexts render_name_texts(double thres, std::int32_t durmin,
                            SourceLocation where = SourceLocation::current());

// A text with leading blanks moved to its end and trailing blanks removed.
std::string_view adjusted(std::string_view text);

// The seven result file names of a run.
struct OutputNames {
  std::string full, brief, days, wsdi, sgs, csdi, lfd;
};

OutputNames build_names(std::string_view infile, ThresholdType type, const NameTexts& texts);

}  // namespace vorda
