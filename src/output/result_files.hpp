#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/records.hpp"
#include "core/threshold.hpp"
#include "output/channel.hpp"
#include "output/names.hpp"

namespace vorda {

// The result files of a run, from opening to closing. Constructing it opens
// the files of the threshold type and writes their header blocks; the
// analyses then write through its writers; close() ends the set.
class ResultFiles {
 public:
  static constexpr int kWorkingFolder = -100;  // AT_FDCWD

  // The files are opened in the folder `directory` (a descriptor as
  // openat() takes it), the working folder by default.
  ResultFiles(std::string_view infile, const Threshold& threshold, int directory = kWorkingFolder);

  EventWriter& events() { return events_; }
  YearWriter& days() { return days_; }
  // WSDI (upper) or CSDI (lower).
  YearWriter& spells() { return *spells_; }
  // Start of growing season (upper) or last frost day (lower).
  YearWriter& season() { return *season_; }
  bool has_yearly_indices() const { return spells_.has_value(); }

  void close();

 private:
  class EventFiles : public EventWriter {
   public:
    EventFiles(Channel full, Channel brief);
    void write(const Event& event) override;
    Channel full, brief;
  };

  class YearFile : public YearWriter {
   public:
    explicit YearFile(Channel channel);
    void write(std::int32_t year, std::int32_t value) override;
    Channel channel;
  };

  ResultFiles(std::string_view infile, const Threshold& threshold, int directory, const OutputNames& names);
  void write_header(Channel& channel, std::initializer_list<Arg> column_line);

  std::string input_part_;
  Threshold threshold_;
  EventFiles events_;
  YearFile days_;
  std::optional<YearFile> spells_;
  std::optional<YearFile> season_;
};

}  // namespace vorda
