// PPM header parsing: the header forms real tools write, the offset of the first pixel byte, and
// headers that must be refused without reading or writing past any buffer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ppmlib_types.hpp"
#include "support/support.hpp"

using test_support::scratch_path;
using test_support::write_file;

namespace {

// Writes `bytes` to a scratch file and parses its header; the descriptor stays open in `pi`.
class HeaderFile {
 public:
  explicit HeaderFile(const std::string& bytes) {
    std::string path = scratch_path("image.ppm");
    write_file(path, bytes);
    pi_.pi_fd = ::open(path.c_str(), O_RDONLY);
    result_ = read_header(&pi_);
  }
  ~HeaderFile() { ::close(pi_.pi_fd); }

  int result() const { return result_; }
  const PPM_INFO& info() const { return pi_; }
  // The next byte the descriptor delivers, or -1 at the end of the file.
  int next_byte() const {
    unsigned char c;
    return ::read(pi_.pi_fd, &c, 1) == 1 ? c : -1;
  }

 private:
  PPM_INFO pi_{};
  int result_;
};

struct GoodHeader {
  const char* name;
  std::string bytes;
  const char* type;
  unsigned width;
  unsigned height;
  int max;
  unsigned offset;
};

void PrintTo(const GoodHeader& h, std::ostream* os) { *os << h.name; }

class AcceptedHeader : public ::testing::TestWithParam<GoodHeader> {};

TEST_P(AcceptedHeader, GivesFieldsAndPixelOffset) {
  const GoodHeader& h = GetParam();
  HeaderFile file(h.bytes + "\xAB");
  ASSERT_EQ(file.result(), 0);
  EXPECT_STREQ(file.info().pi_type, h.type);
  EXPECT_EQ(file.info().pi_width, h.width);
  EXPECT_EQ(file.info().pi_height, h.height);
  EXPECT_EQ(file.info().pi_max, h.max);
  EXPECT_EQ(file.info().pi_offset, h.offset);
  EXPECT_EQ(h.offset, h.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    ReadHeader, AcceptedHeader,
    ::testing::Values(
        GoodHeader{"Common", "P6\n640 480\n255\n", "P6", 640, 480, 255, 15},
        GoodHeader{"SpacesOnly", "P5 1 1 255 ", "P5", 1, 1, 255, 11},
        GoodHeader{"BitmapHasNoMaximum", "P4\n8 2\n", "P4", 8, 2, 1, 7},
        GoodHeader{"HexAndOctal", "P6 0x10 010 255\n", "P6", 16, 8, 255, 16},
        GoodHeader{"TwoSpacesAfterMagic", "P6  640 480 255\n", "P6", 640, 480, 255, 16},
        GoodHeader{"ThreeSpacesAfterMagic", "P6   640 480 255\n", "P6", 640, 480, 255, 17},
        GoodHeader{"TabSeparators", "P6\t640\t480\t255\n", "P6", 640, 480, 255, 15},
        GoodHeader{"WhitespaceRuns", "P6 \r\n\t 640 \n\n 480\t\t255\n", "P6", 640, 480, 255, 23},
        GoodHeader{"CommentLineAfterMagic", "P6\n# made by a scanner\n640 480\n255\n", "P6", 640, 480, 255, 35},
        GoodHeader{"CommentsEverywhere", "P6#a\n640#b\n480 # c\n#d\n255\n", "P6", 640, 480, 255, 26},
        GoodHeader{"CommentEndedByCarriageReturn", "P5 # x\r3 3 15\n", "P5", 3, 3, 15, 14},
        GoodHeader{"EmptyComment", "P6\n#\n2 2\n65535\n", "P6", 2, 2, 65535, 15},
        GoodHeader{"OtherMagicsAreNotJudged", "P3 4 5 6\n", "P3", 4, 5, 6, 9},
        GoodHeader{"ZeroSizes", "P6 0 0 255\n", "P6", 0, 0, 255, 11}),
    [](const auto& info) { return info.param.name; });

TEST(ReadHeader, NumbersTakeSignsAndUpperCaseHex) {
  HeaderFile file("P6 0X1f +7 0377\nx");
  ASSERT_EQ(file.result(), 0);
  EXPECT_EQ(file.info().pi_width, 31u);
  EXPECT_EQ(file.info().pi_height, 7u);
  EXPECT_EQ(file.info().pi_max, 255);
  EXPECT_EQ(file.info().pi_offset, 16u);
}

TEST(ReadHeader, LeavesDescriptorAtFirstPixelByte) {
  HeaderFile file("P6\n# comment\n1 1\n255\n\x07\x08\x09");
  ASSERT_EQ(file.result(), 0);
  EXPECT_EQ(file.next_byte(), 0x07);
}

// After a CR LF line end only the CR belongs to the header: the pixel data start at the LF.
TEST(ReadHeader, CarriageReturnLineEndsLeaveTheLineFeedAsPixelData) {
  HeaderFile file("P6\r\n640 480\r\n255\r\n");
  ASSERT_EQ(file.result(), 0);
  EXPECT_EQ(file.info().pi_offset, 17u);
  EXPECT_EQ(file.next_byte(), '\n');
}

// One whitespace byte ends the header even when the pixel data begin with bytes that look like
// whitespace or a comment.
TEST(ReadHeader, PixelBytesThatLookLikeWhitespaceAreData) {
  HeaderFile file("P5 2 1 255\n \n");
  ASSERT_EQ(file.result(), 0);
  EXPECT_EQ(file.info().pi_offset, 11u);
  EXPECT_EQ(file.next_byte(), ' ');
  HeaderFile hash("P5 2 1 255\n#\n");
  ASSERT_EQ(hash.result(), 0);
  EXPECT_EQ(hash.next_byte(), '#');
}

TEST(ReadHeader, ReadsFromTheStartWhereverTheDescriptorStands) {
  std::string path = scratch_path("seeked.ppm");
  write_file(path, "P5 3 3 255\nabcdefghi");
  PPM_INFO pi{};
  pi.pi_fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::lseek(pi.pi_fd, 14, SEEK_SET), 14);
  EXPECT_EQ(read_header(&pi), 0);
  EXPECT_EQ(pi.pi_offset, 11u);
  EXPECT_EQ(::lseek(pi.pi_fd, 0, SEEK_CUR), 11);
  ::close(pi.pi_fd);
}

TEST(ReadHeader, EmptiesTheLineCacheAndReleasesEarlierLines) {
  std::string path = scratch_path("cache.ppm");
  write_file(path, "P6 1 1 255\nabc");
  PPM_INFO pi{};
  pi.pi_fd = ::open(path.c_str(), O_RDONLY);
  pi.pi_cache[3].pc_h = 9;
  pi.pi_cache[3].pc_line = static_cast<unsigned char*>(std::malloc(3));
  pi.pi_write = static_cast<unsigned char*>(std::malloc(3));
  pi.pi_write_offset = 42;
  pi.pi_lastacc = 77;
  ASSERT_EQ(read_header(&pi), 0);
  for (const PPM_CACHE& slot : pi.pi_cache) {
    EXPECT_EQ(slot.pc_h, 0);
    EXPECT_EQ(slot.pc_line, nullptr);
  }
  EXPECT_EQ(pi.pi_write, nullptr);
  EXPECT_EQ(pi.pi_write_offset, 0);
  EXPECT_EQ(pi.pi_lastacc, 77u);
  ::close(pi.pi_fd);
}

struct BadHeader {
  const char* name;
  std::string bytes;
};

void PrintTo(const BadHeader& h, std::ostream* os) { *os << h.name; }

class RefusedHeader : public ::testing::TestWithParam<BadHeader> {};

TEST_P(RefusedHeader, FailsWithMinusOne) {
  PPM_INFO before{};
  HeaderFile file(GetParam().bytes);
  EXPECT_EQ(file.result(), -1);
  // A refused header leaves the handle's fields as they were.
  EXPECT_EQ(file.info().pi_offset, before.pi_offset);
  EXPECT_EQ(file.info().pi_width, before.pi_width);
}

INSTANTIATE_TEST_SUITE_P(
    ReadHeader, RefusedHeader,
    ::testing::Values(BadHeader{"EmptyFile", ""}, BadHeader{"MagicOnly", "P6"},
                      BadHeader{"CutInWidth", "P6\n64"}, BadHeader{"CutAfterHeight", "P6\n640 480"},
                      BadHeader{"CutInMaximum", "P6\n640 480\n25"},
                      BadHeader{"NothingAfterLastNumber", "P6\n640 480\n255"},
                      BadHeader{"CutInComment", "P6\n# a comment that never ends"},
                      BadHeader{"CommentRightAfterLastNumber", "P6 640 480 255#x\n"},
                      BadHeader{"LeadingWhitespace", " P6 640 480 255\n"},
                      BadHeader{"MagicOfFiveChars", "P6abc 640 480 255\n"},
                      BadHeader{"MagicOfFourChars", "P6ab 640 480 255\n"},
                      BadHeader{"MissingNumber", "P6 640 255\n"},
                      BadHeader{"NonNumericWidth", "P6 wide 480 255\n"},
                      BadHeader{"TrailingGarbageInNumber", "P6 640 480 255x\n"},
                      BadHeader{"BareHexPrefix", "P6 0x 480 255\n"},
                      BadHeader{"BadOctalDigit", "P6 640 089 255\n"},
                      BadHeader{"NegativeWidth", "P6 -640 480 255\n"},
                      BadHeader{"WidthBeyondInt", "P6 4294967296 480 255\n"},
                      BadHeader{"NegativeMaximum", "P6 640 480 -255\n"},
                      BadHeader{"MaximumZero", "P6 640 480 0\n"},
                      BadHeader{"MaximumAboveTwoBytes", "P6 640 480 65536\n"},
                      BadHeader{"VerticalTabIsNoSeparator", "P6\v640 480 255\n"},
                      BadHeader{"HeaderOver99Bytes", "P6\n#" + std::string(120, 'c') + "\n640 480\n255\n"},
                      BadHeader{"LongRunOfWhitespace", "P6" + std::string(200, ' ') + "640 480 255\n"},
                      BadHeader{"HugeMagic", std::string(200, 'P') + " 640 480 255\n"},
                      BadHeader{"HugeNumber", "P6 " + std::string(200, '7') + " 480 255\n"}),
    [](const auto& info) { return info.param.name; });

// 99 bytes of header text fit; one more byte does not.
TEST(ReadHeader, HeaderTextFitsIn99Bytes) {
  std::string head = "P6\n#";
  std::string tail = "\n1 1\n255\n";
  std::string fits = head + std::string(99 - head.size() - tail.size(), 'c') + tail;
  ASSERT_EQ(fits.size(), 99u);
  HeaderFile accepted(fits + "xyz");
  EXPECT_EQ(accepted.result(), 0);
  EXPECT_EQ(accepted.info().pi_offset, 99u);
  HeaderFile refused(head + std::string(100 - head.size() - tail.size(), 'c') + tail + "xyz");
  EXPECT_EQ(refused.result(), -1);
}

TEST(ReadHeader, MagicOfThreeCharsIsKept) {
  HeaderFile file("P45 1 2 3\n");
  ASSERT_EQ(file.result(), 0);
  EXPECT_STREQ(file.info().pi_type, "P45");
  EXPECT_EQ(file.info().pi_max, 3);
}

TEST(PpmSampleBytes, TwoBytesAboveMaximum255) {
  PPM_INFO pi{};
  for (auto [max, bytes] : {std::pair{1, 1}, {255, 1}, {256, 2}, {1023, 2}, {65535, 2}}) {
    pi.pi_max = max;
    EXPECT_EQ(ppm_sample_bytes(&pi), bytes) << max;
  }
}

}  // namespace
