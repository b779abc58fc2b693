#include "output/result_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/failure.hpp"
#include "core/units.hpp"

namespace vorda {

namespace {

const Format kText("(a)");
const Format kTwoTexts("(a,a)");
const Format kTextReal("(a,f0.1)");
const Format kTextInteger("(a,i0)");
const Format kThreeColumns("(3(a))");
const Format kTwoColumns("(2(a))");
// The records written once per event or year, laid out once.
const RecordLayout kFullEvent(Format("(3x,f11.3,1x,i2,1x,i2,1x,i4,15x,i7,1x,f14.3)"));
const RecordLayout kShortEvent(Format("(1x,f11.3,1x,f14.3)"));
const RecordLayout kYear(Format("(1x,i4,1x,i3)"));

// Opens a result file without emptying it; an existing file that may only be
// read is opened for reading, and fails at its first record.
Channel open_result_file(int directory, int unit, const std::string& path) {
  int fd = ::openat(directory, path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // A name the user linked to a device or a pipe is written, not cut.
    struct stat st {};
    const bool regular = ::fstat(fd, &st) != 0 || S_ISREG(st.st_mode);
    return Channel(fd, unit, path, regular ? Channel::Kind::File : Channel::Kind::Stream, true);
  }
  int errnum = errno;
  if (errnum == EACCES || errnum == EROFS) {
    fd = ::openat(directory, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return Channel(fd, unit, path, Channel::Kind::ReadOnly, true);
  }
  throw RuntimeFailure(unit, "", open_failure_reason(errnum, path));
}

}  // namespace

ResultFiles::EventFiles::EventFiles(Channel full_file, Channel brief_file)
    : full(std::move(full_file)), brief(std::move(brief_file)) {}

void ResultFiles::EventFiles::write(const Event& e) {
  // Both records show the midpoint as f11.3 and the action measure as
  // f14.3: each is rendered once.
  const FieldText mid(e.mid, 11, 3);
  const FieldText a(e.a, 14, 3);
  full.write(kFullEvent, std::tuple{mid, e.d, e.m, e.yr, e.dur, a});
  brief.write(kShortEvent, std::tuple{mid, a});
}

ResultFiles::YearFile::YearFile(Channel file) : channel(std::move(file)) {}

void ResultFiles::YearFile::write(std::int32_t year, std::int32_t value) {
  channel.write(kYear, std::tuple{year, value});
}

ResultFiles::ResultFiles(std::string_view infile, const Threshold& threshold, int directory)
    : ResultFiles(infile, threshold, directory,
                  build_names(infile, threshold.type, render_name_texts(threshold.thres, threshold.durmin))) {
}

// Channels are opened in their fixed order: braced initialisers are
// evaluated left to right.
static_assert(ResultFiles::kWorkingFolder == AT_FDCWD);

ResultFiles::ResultFiles(std::string_view infile, const Threshold& threshold, int directory,
                         const OutputNames& names)
    : input_part_(adjusted(infile)),
      threshold_(threshold),
      events_{open_result_file(directory, kFullEventsUnit, names.full),
              open_result_file(directory, kShortEventsUnit, names.brief)},
      days_{open_result_file(directory, kDaysUnit, names.days)} {
  if (threshold.type == ThresholdType::Upper) {
    spells_.emplace(open_result_file(directory, kWsdiUnit, names.wsdi));
    season_.emplace(open_result_file(directory, kSgsUnit, names.sgs));
  } else if (threshold.type == ThresholdType::Lower) {
    spells_.emplace(open_result_file(directory, kCsdiUnit, names.csdi));
    season_.emplace(open_result_file(directory, kLfdUnit, names.lfd));
  }

  write_header(events_.full, {" Midpoint_time__d__m___yr_(rounded_up)", " Duration", " Action_measure"});
  write_header(days_.channel, {" yr  ", " #days_measure"});
  if (threshold.type == ThresholdType::Upper) {
    write_header(spells_->channel, {" yr  ", " WSDI"});
    write_header(season_->channel, {" yr  ", " Start-of-growing-season"});
  } else if (threshold.type == ThresholdType::Lower) {
    write_header(spells_->channel, {" yr  ", " CSDI"});
    write_header(season_->channel, {" yr  ", " Last-frost-day"});
  }
}

void ResultFiles::write_header(Channel& channel, std::initializer_list<Arg> column_line) {
  channel.write(kText, {" VORDA: Results"});
  channel.write(kText, {" =============="});
  channel.write(kText, {" "});
  channel.write(kTwoTexts, {" Input data file: ", std::string_view(input_part_)});
  channel.write(kText, {" "});
  channel.write(kTwoTexts, {" Threshold type:  ", type_name(threshold_.type)});
  channel.write(kText, {" "});
  channel.write(kTextReal, {" Threshold value: ", threshold_.thres});
  channel.write(kText, {" "});
  channel.write(kTextInteger, {" Event, minimum duration: ", threshold_.durmin});
  channel.write(kText, {" "});
  channel.write(column_line.size() == 3 ? kThreeColumns : kTwoColumns, column_line);
}

void ResultFiles::close() {
  events_.full.close();
  events_.brief.close();
  days_.channel.close();
  if (spells_) {
    spells_->channel.close();
    season_->channel.close();
  }
}

}  // namespace vorda
