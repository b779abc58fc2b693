#include "output/names.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/failure.hpp"
#include "core/units.hpp"
#include "input/reader.hpp"
#include "input/source.hpp"
#include "output/channel.hpp"
#include "output/format.hpp"

namespace vorda {

namespace {

const Format kF0_1("(f0.1)");
const Format kI0("(i0)");

// An anonymous file in the system's temporary directory: it has no name from
// the start, so nothing is left behind however the run ends.
class ScratchFile {
 public:
  explicit ScratchFile(SourceLocation where) {
    fd_ = ::open(P_tmpdir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      char path[] = P_tmpdir "/vorda-XXXXXX";
      fd_ = ::mkostemp(path, O_CLOEXEC);
      if (fd_ >= 0) ::unlink(path);
    }
    if (fd_ < 0) throw RuntimeFailure(kScratchUnit, "", system_error_text(errno), where);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() { ::close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

template <std::size_t N>
void read_text(Source& in, std::array<char, N>& text, SourceLocation where) {
  text.fill(' ');
  read_list(in, {Target::text(text)}, where);
}

}  // namespace

NameTexts render_name_texts(double thres, std::int32_t durmin, SourceLocation where) {
  ScratchFile file(where);
  Channel out(file.fd(), kScratchUnit, "", Channel::Kind::File, false);
  Source in(file.fd(), kScratchUnit, "", false);
  NameTexts texts;

  out.write(kF0_1, {thres}, where);
  out.rewind(where);
  in.rewind();
  read_text(in, texts.thres, where);

  out.rewind(where);
  out.write(kI0, {durmin}, where);
  out.rewind(where);
  in.rewind();
  read_text(in, texts.durmin, where);
  return texts;
}

std::string_view adjusted(std::string_view text) {
  auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

OutputNames build_names(std::string_view infile, ThresholdType type, const NameTexts& texts) {
  std::string tail(adjusted(infile));
  tail += '-';
  tail += type_name(type);
  tail += '-';
  tail += adjusted(std::string_view(texts.thres.data(), texts.thres.size()));
  tail += "-durmin-";
  tail += adjusted(std::string_view(texts.durmin.data(), texts.durmin.size()));
  tail += ".dat";
  return {
      "VORDA-" + tail,      "VORDAshort-" + tail, "VORDAndays-" + tail, "VORDA-WSDI-" + tail,
      "VORDA-SGS--" + tail, "VORDA-CSDI-" + tail, "VORDA-LFD--" + tail,
  };
}

}  // namespace vorda
