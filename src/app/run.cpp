#include "app/run.hpp"

#include <unistd.h>

#include <array>
#include <span>
#include <string>

#include "analysis/analyses.hpp"
#include "app/banner.hpp"
#include "core/failure.hpp"
#include "core/units.hpp"
#include "input/reader.hpp"
#include "input/series.hpp"
#include "input/source.hpp"
#include "output/channel.hpp"
#include "output/format.hpp"
#include "output/result_files.hpp"

namespace vorda {

namespace {

const Format kSizePrompt("(a,i7,a)");

void write_lines(Channel& console, std::span<const std::string_view> lines) {
  for (std::string_view line : lines) {
    if (line.empty()) {
      console.write_list();
    } else {
      console.write_list(line);
    }
  }
}

ThresholdType type_of_answer(char answ1) {
  if (answ1 == 'u') return ThresholdType::Upper;
  if (answ1 == 'l') return ThresholdType::Lower;
  return ThresholdType::None;
}

}  // namespace

void run() {
  Channel console(STDOUT_FILENO, kConsoleOut, "stdout", Channel::Kind::Console, false);
  Source answers(STDIN_FILENO, kConsoleIn, "stdin", false);
  Series series;

  write_lines(console, kBanner);

  std::array<char, 80> infile;
  infile.fill(' ');
  console.write_list(" Input data file name:");
  read_list(answers, {Target::text(infile)});
  Source data = open_input(std::string_view(infile.data(), infile.size()));

  write_lines(console, kBlankLines);
  console.write(kSizePrompt, {" Input data size (maximum: ", NMAX, "):"});
  read_list(answers, {Target::integer(series.n)});
  if (series.n > NMAX) {
    throw RuntimeFailure(
        kConsoleIn, "stdin",
        "Data size " + std::to_string(series.n) + " exceeds the maximum of " + std::to_string(NMAX));
  }
  load_series(data, series);

  std::array<char, 1> answ1{'-'};
  write_lines(console, kTypeQuestion);
  read_list(answers, {Target::text(answ1)});
  Threshold threshold;
  threshold.type = type_of_answer(answ1[0]);

  write_lines(console, kValueQuestion);
  read_list(answers, {Target::real(threshold.thres)});

  write_lines(console, kDurationQuestion);
  read_list(answers, {Target::integer(threshold.durmin)});

  ResultFiles files(std::string_view(infile.data(), infile.size()), threshold);
  // A type other than upper or lower opens the files but computes nothing.
  if (files.has_yearly_indices()) {
    analyse(series, threshold, files.events(), files.days(), files.spells(), files.season());
  }
  files.close();

  write_lines(console, kClosing);
}

}  // namespace vorda
