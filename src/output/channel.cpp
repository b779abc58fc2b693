#include "output/channel.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/failure.hpp"

namespace vorda {

namespace {

constexpr std::size_t kBlock = 1 << 16;
constexpr std::string_view kRecordEnd = "\r\n";
constexpr std::string_view kReadOnlyReason = "Cannot write to file opened for READ";

}  // namespace

Channel::Channel(int fd, int unit, std::string name, Kind kind, bool owned)
    : fd_(fd), unit_(unit), name_(std::move(name)), kind_(kind), owned_(owned) {
  buffer_.reserve(kBlock + 256);
}

Channel::Channel(Channel&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      unit_(other.unit_),
      name_(std::move(other.name_)),
      kind_(other.kind_),
      owned_(other.owned_),
      records_(other.records_),
      buffer_(std::move(other.buffer_)) {}

Channel::~Channel() {
  if (fd_ < 0) return;
  flush_buffer();
  if (owned_) ::close(fd_);
}

void Channel::write(const Format& format, std::initializer_list<Arg> args, SourceLocation where) {
  begin_record(where);
  format.render(buffer_, args);
  end_record(where);
}

char* Channel::grow_record(std::size_t width) {
  const std::size_t size = buffer_.size();
  buffer_.resize(size + width + kRecordEnd.size(), ' ');
  char* const line = buffer_.data() + size;
  kRecordEnd.copy(line + width, kRecordEnd.size());
  return line;
}

void Channel::write_list(SourceLocation where) {
  begin_record(where);
  end_record(where);
}

void Channel::write_list(std::string_view text, SourceLocation where) {
  begin_record(where);
  render_list_item(buffer_, text);
  end_record(where);
}

void Channel::begin_record(SourceLocation where) {
  if (kind_ == Kind::ReadOnly) throw RuntimeFailure(unit_, name_, std::string(kReadOnlyReason), where);
  if (records_ == 0 && kind_ == Kind::File) {
    // The first record replaces whatever the file held before.
    if (::ftruncate(fd_, ::lseek(fd_, 0, SEEK_CUR)) != 0) fail(errno, where);
  }
}

void Channel::end_record(SourceLocation where) {
  buffer_ += kRecordEnd;
  count_record(where);
}

void Channel::count_record(SourceLocation where) {
  ++records_;
  if (kind_ == Kind::Console || buffer_.size() >= kBlock) flush(where);
}

void Channel::flush(SourceLocation where) {
  if (!flush_buffer()) fail(errno, where);
}

// Writes the whole buffer; false (with errno set) when the system refuses.
bool Channel::flush_buffer() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      buffer_.erase(0, done);
      errno = saved;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  return true;
}

void Channel::rewind(SourceLocation where) {
  flush(where);
  if (::lseek(fd_, 0, SEEK_SET) < 0) fail(errno, where);
  records_ = 0;
}

void Channel::close(SourceLocation where) {
  flush(where);
  if (records_ == 0 && kind_ != Kind::Console) {
    if (kind_ == Kind::ReadOnly) {
      if (::lseek(fd_, 0, SEEK_END) > 0)
        throw RuntimeFailure(unit_, name_, std::string(kReadOnlyReason), where);
    } else if (kind_ == Kind::File && ::ftruncate(fd_, 0) != 0) {
      fail(errno, where);
    }
  }
  int fd = std::exchange(fd_, -1);
  if (owned_ && ::close(fd) != 0 && errno != EINTR) {
    throw RuntimeFailure(unit_, name_, system_error_text(errno), where);
  }
}

void Channel::fail(int errnum, SourceLocation where) const {
  throw RuntimeFailure(unit_, name_, system_error_text(errnum), where);
}

}  // namespace vorda
