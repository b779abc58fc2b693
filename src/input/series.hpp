#pragma once

#include <string_view>

#include "core/source_location.hpp"
#include "core/store.hpp"

namespace vorda {

class Source;

// Opens the data file on channel 1. `infile` is the name as typed; trailing
// blanks are not part of the path. Raises RuntimeFailure (unit 1, file '')
// naming `where`, the caller's open statement, when the file cannot be opened.
Source open_input(std::string_view infile, SourceLocation where = SourceLocation::current());

// Reads records 1..s.n from `in` (none when s.n < 1), one free-format read of
// t, d, m, yr, x per record, then closes `in`. s.n must not exceed NMAX.
void load_series(Source& in, Series& s);

}  // namespace vorda
