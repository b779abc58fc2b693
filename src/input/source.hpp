#pragma once

#include <cassert>
#include <cstddef>
#include <string>
#include <string_view>

namespace vorda {

// A line-oriented byte source read through a large buffer: the console, the
// data file or the scratch file. It knows its channel number and name, which
// a failure report names.
//
// Bytes are read with read(2) in blocks of up to 64 KiB, and only when the
// reader asks for a byte that is not buffered yet: on a console a read never
// waits for more than the line being answered.
class Source {
 public:
  // Reads from `fd`; closes it on close() or destruction when `owned`.
  Source(int fd, int unit, std::string name, bool owned = true);
  // A source over bytes held in memory (tests, fuzzing).
  static Source from_bytes(std::string bytes, int unit, std::string name);

  Source(Source&& other) noexcept;
  Source& operator=(Source&& other) noexcept;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source();

  int unit() const { return unit_; }
  const std::string& name() const { return name_; }

  // Back to the first byte (the scratch file after it was rewritten).
  void rewind();
  // Closes the descriptor if owned; further reads meet the end of the source.
  void close();

  // --- byte access for the reader ---

  // The next byte (0..255) without taking it, or -1 at the end of the source.
  // A failing read(2) raises RuntimeFailure with the system's text.
  int peek() {
    if (pos_ < end_ && !lf_after_cr_) return static_cast<unsigned char>(buf_[pos_]);
    return peek_slow();
  }
  // Takes the byte that peek() just returned (never call it after -1).
  void skip() {
    assert(pos_ < end_ && !lf_after_cr_);
    ++pos_;
  }
  // The bytes already buffered from the current position on; after a
  // successful peek() it holds at least the byte peek() returned.
  std::string_view buffered() const {
    return lf_after_cr_ ? std::string_view() : std::string_view(buf_.data() + pos_, end_ - pos_);
  }
  // Takes the first `n` bytes of buffered().
  void skip(std::size_t n) {
    assert(n <= buffered().size());
    pos_ += n;
  }
  // Takes a CR that ends a line. An LF right after it belongs to the same
  // line end; it is dropped when the next byte is asked for, so that a
  // console read ending in a CR does not wait for one more byte.
  void skip_cr() {
    assert(pos_ < end_ && buf_[pos_] == '\r' && !lf_after_cr_);
    ++pos_;
    lf_after_cr_ = true;
  }
  // Skips everything up to and including the next LF. Returns false when the
  // source ends first.
  bool skip_past_lf();

 private:
  Source() = default;
  int peek_slow();
  // Refills the buffer from the descriptor; false at the end of the source.
  bool fill();
  void release();

  int fd_ = -1;
  int unit_ = 0;
  std::string name_;
  bool owned_ = false;

  std::string buf_;
  std::size_t pos_ = 0;  // next byte to hand out
  std::size_t end_ = 0;  // end of the valid bytes in buf_
  bool at_end_ = false;  // read(2) reported the end, or the source is closed
  bool lf_after_cr_ = false;
};

}  // namespace vorda
