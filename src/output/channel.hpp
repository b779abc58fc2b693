#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>

#include "core/source_location.hpp"
#include "output/format.hpp"
#include "output/record_layout.hpp"

namespace vorda {

// A numbered output connection: the console or a file. Every write is one
// whole record ended by CR LF. Records are buffered; every failure to write
// ends the run as a RuntimeFailure naming the channel and its name.
//
// A file channel is opened without being emptied: the first record written
// after opening (or after a rewind) cuts the file at that record, later
// records are appended. Only regular files are cut: a device such as
// /dev/null cannot be, and needs not.
class Channel {
 public:
  enum class Kind {
    Console,   // flushed after every record, so a prompt is seen before a read
    File,      // a regular file, buffered in large blocks
    Stream,    // a device or a pipe: buffered, written as it is, never cut
    ReadOnly,  // an existing file that may only be read: any record fails
  };

  Channel(int fd, int unit, std::string name, Kind kind, bool owned);
  Channel(Channel&& other) noexcept;
  Channel& operator=(Channel&&) = delete;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  // A channel still open here belongs to a failed run: what it holds is
  // written out as far as possible, so no record already written is lost.
  ~Channel();

  int unit() const { return unit_; }
  const std::string& name() const { return name_; }
  bool wrote_records() const { return records_ > 0; }

  // Formatted write of one record.
  void write(const Format& format, std::initializer_list<Arg> args,
             SourceLocation where = SourceLocation::current());
  // Formatted write of one record through a layout made once: one value
  // per field.
  template <typename... Values>
  void write(const RecordLayout& layout, const std::tuple<Values...>& values,
             SourceLocation where = SourceLocation::current()) {
    begin_record(where);
    char* const line = grow_record(layout.width());
    std::apply([&](const Values&... v) { layout.render(line, v...); }, values);
    count_record(where);
  }
  // Free-format write with no item: an empty record.
  void write_list(SourceLocation where = SourceLocation::current());
  // Free-format write of one text item.
  void write_list(std::string_view text, SourceLocation where = SourceLocation::current());

  void flush(SourceLocation where = SourceLocation::current());
  // Back to the start of the file; the next record cuts the file again.
  void rewind(SourceLocation where = SourceLocation::current());
  // Flushes and closes. A regular result file that received no record is
  // emptied, so it cannot show the content of an earlier run as if it were
  // this one's.
  void close(SourceLocation where = SourceLocation::current());

 private:
  void begin_record(SourceLocation where);
  void end_record(SourceLocation where);
  // Grows the buffer by a record of `width` blanks and its end; returns
  // where the record starts.
  char* grow_record(std::size_t width);
  // Counts a record whose end is in the buffer, and flushes when due.
  void count_record(SourceLocation where);
  [[noreturn]] void fail(int errnum, SourceLocation where) const;
  bool flush_buffer();

  int fd_;
  int unit_;
  std::string name_;
  Kind kind_;
  bool owned_;
  long records_ = 0;  // records since opening or the last rewind
  std::string buffer_;
};

}  // namespace vorda
