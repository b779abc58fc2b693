#include "input/source.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "core/failure.hpp"

namespace vorda {

namespace {
constexpr std::size_t kBlockSize = 64 * 1024;
}  // namespace

Source::Source(int fd, int unit, std::string name, bool owned)
    : fd_(fd), unit_(unit), name_(std::move(name)), owned_(owned), buf_(kBlockSize, '\0') {}

Source Source::from_bytes(std::string bytes, int unit, std::string name) {
  Source s;
  s.unit_ = unit;
  s.name_ = std::move(name);
  s.buf_ = std::move(bytes);
  s.end_ = s.buf_.size();
  return s;
}

Source::Source(Source&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      unit_(other.unit_),
      name_(std::move(other.name_)),
      owned_(std::exchange(other.owned_, false)),
      buf_(std::move(other.buf_)),
      pos_(std::exchange(other.pos_, 0)),
      end_(std::exchange(other.end_, 0)),
      at_end_(std::exchange(other.at_end_, true)),
      lf_after_cr_(std::exchange(other.lf_after_cr_, false)) {}

Source& Source::operator=(Source&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    unit_ = other.unit_;
    name_ = std::move(other.name_);
    owned_ = std::exchange(other.owned_, false);
    buf_ = std::move(other.buf_);
    pos_ = std::exchange(other.pos_, 0);
    end_ = std::exchange(other.end_, 0);
    at_end_ = std::exchange(other.at_end_, true);
    lf_after_cr_ = std::exchange(other.lf_after_cr_, false);
  }
  return *this;
}

Source::~Source() { release(); }

void Source::release() {
  if (owned_ && fd_ >= 0) ::close(fd_);
  fd_ = -1;
  owned_ = false;
}

void Source::close() {
  release();
  buf_.clear();
  buf_.shrink_to_fit();
  pos_ = end_ = 0;
  at_end_ = true;
  lf_after_cr_ = false;
}

void Source::rewind() {
  lf_after_cr_ = false;
  if (fd_ < 0) {
    // In memory the bytes are all in the buffer; a closed source stays empty.
    pos_ = 0;
    return;
  }
  if (::lseek(fd_, 0, SEEK_SET) < 0) throw RuntimeFailure(unit_, name_, system_error_text(errno));
  pos_ = end_ = 0;
  at_end_ = false;
}

bool Source::fill() {
  if (fd_ < 0 || at_end_) return false;
  for (;;) {
    ssize_t got = ::read(fd_, buf_.data(), buf_.size());
    if (got > 0) {
      pos_ = 0;
      end_ = static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0) {
      at_end_ = true;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A descriptor left in non-blocking mode: wait until it has bytes.
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
    }
    throw RuntimeFailure(unit_, name_, system_error_text(errno));
  }
}

int Source::peek_slow() {
  if (pos_ == end_ && !fill()) {
    lf_after_cr_ = false;
    return -1;
  }
  if (lf_after_cr_) {
    lf_after_cr_ = false;
    if (buf_[pos_] == '\n') {
      ++pos_;
      if (pos_ == end_ && !fill()) return -1;
    }
  }
  return static_cast<unsigned char>(buf_[pos_]);
}

bool Source::skip_past_lf() {
  if (peek() < 0) return false;
  for (;;) {
    const void* lf = std::memchr(buf_.data() + pos_, '\n', end_ - pos_);
    if (lf != nullptr) {
      pos_ = static_cast<std::size_t>(static_cast<const char*>(lf) - buf_.data()) + 1;
      return true;
    }
    pos_ = end_;
    if (!fill()) return false;
  }
}

}  // namespace vorda
