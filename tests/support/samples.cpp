#include "support/samples.hpp"

#include <fstream>
#include <iterator>

#include "support/program.hpp"

namespace vorda::testing {

std::string golden_transcript() {
  std::ifstream in(VORDA_SOURCE_DIR "/tests/golden/transcript.txt", std::ios::binary);
  return crlf(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

std::string transcript_lines(std::size_t count) {
  std::string all = golden_transcript();
  std::size_t end = 0;
  for (std::size_t i = 0; i < count; ++i) end = all.find("\r\n", end) + 2;
  return all.substr(0, end);
}

}  // namespace vorda::testing
