// PPM header parsing: the header forms real tools write, the offset of the first pixel byte, and
// headers that must be refused without reading or writing past any buffer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "ppmlib_types.hpp"
#include "support/support.hpp"

namespace {

// Parses the header of a file holding `bytes`, with the descriptor first moved to the end of the
// file (the header is read from the start wherever it stands). `next` gets the byte the
// descriptor delivers afterwards, -1 at the end of the file.
int parse(const std::string& bytes, PPM_INFO* pi, int* next = nullptr) {
  std::string path = test_support::scratch_path("image.ppm");
  test_support::write_file(path, bytes);
  pi->pi_fd = ::open(path.c_str(), O_RDONLY);
  ::lseek(pi->pi_fd, 0, SEEK_END);
  int result = read_header(pi);
  unsigned char c;
  if (next) *next = ::read(pi->pi_fd, &c, 1) == 1 ? c : -1;
  ::close(pi->pi_fd);
  return result;
}

struct Accepted { std::string bytes, type; unsigned width, height; int max; unsigned offset; };

TEST(ReadHeader, AcceptedHeadersGiveFieldsAndLeaveDescriptorAtFirstPixelByte) {
  const Accepted table[] = {
      {"P6\n640 480\n255\n", "P6", 640, 480, 255, 15},
      {"P5 1 1 255 ", "P5", 1, 1, 255, 11},
      {"P4\n8 2\n", "P4", 8, 2, 1, 7},  // no maximum
      {"P45 8 2\n", "P45", 8, 2, 1, 8},  // the no-maximum rule looks at the first two bytes only
      {"P6 0x10 010 255\n", "P6", 16, 8, 255, 16},
      {"P6  640 480 255\n", "P6", 640, 480, 255, 16},
      {"P6\r\n640 480\r\n255\r\n", "P6", 640, 480, 255, 17},  // the last LF is pixel data
      {"P6\t640\t480\t255\n", "P6", 640, 480, 255, 15},
      {"P6\n# scanner\n640 480 # size\n255\n", "P6", 640, 480, 255, 32},
      {"P6\n# scanner\r640 480\n255\n", "P6", 640, 480, 255, 25},  // a comment ends at CR too
      {"P5 2 2 65535\n", "P5", 2, 2, 65535, 13},
      {"P7x 4 5 6\n", "P7x", 4, 5, 6, 10},  // magics of up to 3 chars are not judged
      {"P6\n#" + std::string(86, 'c') + "\n1 1\n255\n", "P6", 1, 1, 255, 99},  // the longest header text
  };
  for (const Accepted& h : table) {
    SCOPED_TRACE(h.bytes);
    PPM_INFO pi{};
    int next;
    ASSERT_EQ(parse(h.bytes + "\xAB", &pi, &next), 0);
    EXPECT_EQ(std::tuple(std::string(pi.pi_type), pi.pi_width, pi.pi_height, pi.pi_max, pi.pi_offset),
              std::tuple(h.type, h.width, h.height, h.max, h.offset));
    EXPECT_EQ(next, static_cast<unsigned char>((h.bytes + "\xAB")[h.offset]));
  }
}

TEST(ReadHeader, RefusedHeadersFailWithMinusOne) {
  const std::string refused[] = {
      "",                 "P6 640 480 255#x\n", "P6 640 480 0\n",   "P6 640 480 65536\n",
      "P6ab 640 480 255\n", "P6abc 640 480 255\n", "P6 wide 480 255\n", "P6 640 480 255x\n",
      "P6\n640 480\n255",  // cut short: no whitespace byte after the last number
      "P6\v640 480 255\n",  // vertical tab is no whitespace
      "P6\n#" + std::string(87, 'c') + "\n1 1\n255\n",  // 100 bytes of header text
      "P6" + std::string(200, ' ') + "640 480 255\n",
      "P6 " + std::string(200, '7') + " 480 255\n",
  };
  for (const std::string& bytes : refused) {
    PPM_INFO pi{};
    EXPECT_EQ(parse(bytes, &pi), -1) << bytes;
  }
}

}  // namespace
