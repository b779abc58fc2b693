#include "input/source.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>

#include "core/failure.hpp"
#include "core/units.hpp"
#include "input/reader.hpp"

namespace vorda {
namespace {

// A file in a fresh temporary directory, removed with it.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char dir[] = "/tmp/vorda-source-XXXXXX";
    dir_ = ::mkdtemp(dir);
    path_ = dir_ + "/f.txt";
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  ~TempFile() {
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

std::int32_t read_integer(Source& in) {
  std::int32_t v = -999;
  const Target t[] = {Target::integer(v)};
  read_list(in, t);
  return v;
}

TEST(Source, ValuesAndLineEndsAcrossBlockBoundaries) {
  const std::size_t block = 64 * 1024;
  // A CR LF split between two blocks, then a value split between two blocks.
  std::string bytes(block - 2, ' ');
  bytes += "7\r\n8\n";
  bytes += std::string(2 * block - bytes.size() - 2, ' ');
  bytes += "12345\n";
  bytes += "'" + std::string(block, 'q') + "'\n9";
  TempFile f(bytes);
  Source in(::open(f.path().c_str(), O_RDONLY), 1, f.path());
  EXPECT_EQ(read_integer(in), 7);
  EXPECT_EQ(read_integer(in), 8);
  EXPECT_EQ(read_integer(in), 12345);
  char text[3];
  const Target t[] = {Target::text(text)};
  read_list(in, t);
  EXPECT_EQ(std::string(text, 3), "qqq");
  EXPECT_THROW(read_integer(in), RuntimeFailure);  // 9 without a line end
}

TEST(Source, LineEndAsTheLastByteOfABlock) {
  const std::size_t block = 64 * 1024;
  for (const std::string end : {"\n", "\r\n", "\r"}) {
    SCOPED_TRACE(end == "\n" ? "LF" : end == "\r" ? "CR" : "CR LF");
    TempFile f(std::string(block - 1 - end.size(), ' ') + "7" + end + "8\n");
    Source in(::open(f.path().c_str(), O_RDONLY), 1, f.path());
    EXPECT_EQ(read_integer(in), 7);
    EXPECT_EQ(read_integer(in), 8);
  }
}

TEST(Source, RewindReadsTheRewrittenFileAgain) {
  TempFile f("1\n");
  int fd = ::open(f.path().c_str(), O_RDWR);
  Source in(fd, 1, "scratch");
  EXPECT_EQ(read_integer(in), 1);
  ASSERT_EQ(::pwrite(fd, "25\n", 3, 0), 3);
  in.rewind();
  EXPECT_EQ(read_integer(in), 25);
  in.close();
  EXPECT_THROW(read_integer(in), RuntimeFailure);
}

TEST(Source, MemorySourceRewinds) {
  Source in = Source::from_bytes("4\n5\n", 1, "m");
  EXPECT_EQ(read_integer(in), 4);
  in.rewind();
  EXPECT_EQ(read_integer(in), 4);
  Source moved = std::move(in);
  EXPECT_EQ(read_integer(moved), 5);
  EXPECT_EQ(moved.name(), "m");
}

TEST(Source, ReadErrorIsReportedForTheReadStatement) {
  Source in(::open("/tmp", O_RDONLY | O_DIRECTORY), 1, "tmp");
  std::int32_t v = 0;
  const Target t[] = {Target::integer(v)};
  const unsigned line = __LINE__ + 2;
  try {
    read_list(in, t);
    FAIL() << "no failure";
  } catch (const RuntimeFailure& e) {
    EXPECT_EQ(e.unit(), 1);
    EXPECT_EQ(e.file(), "tmp");
    EXPECT_EQ(e.reason(), "Is a directory");
    EXPECT_EQ(e.where().line(), line);
  }
}

// A console answer is taken as soon as its line is complete: the reader
// never waits for bytes beyond it, even after a CR that may be followed by LF.
TEST(Source, ConsoleReadDoesNotWaitPastTheLine) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  Source in(p[0], kConsoleIn, "stdin");
  auto answer = [&](const char* typed) {
    EXPECT_EQ(::write(p[1], typed, std::char_traits<char>::length(typed)),
              static_cast<ssize_t>(std::char_traits<char>::length(typed)));
    auto result = std::async(std::launch::async, [&] { return read_integer(in); });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ::close(p[1]);  // unblocks the reader with the end of input
      p[1] = -1;
      ADD_FAILURE() << "the read waited for more input after [" << typed << "]";
    }
    try {
      return result.get();
    } catch (const RuntimeFailure&) {
      return -1;
    }
  };
  EXPECT_EQ(answer("\n  \n12\n"), 12);
  // The LF after "1\r" belongs to the CR; so does the one that ends "6\r\n",
  // the last byte its read delivers.
  const char* const more[] = {"5 17\n", "1\r", "\n3\n", "4,\n", "6\r\n", "8\n"};
  const int expected[] = {5, 1, 3, 4, 6, 8};
  for (int k = 0; k < 6 && p[1] >= 0; ++k) EXPECT_EQ(answer(more[k]), expected[k]);
  if (p[1] >= 0) ::close(p[1]);
}

}  // namespace
}  // namespace vorda
