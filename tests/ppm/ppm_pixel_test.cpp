// Pixel access through the row cache and the pending write line: which rows the cache keeps and
// in what order, when written pixels reach the file, what reads see before that, and bytes the
// file lacks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <string>

#include "ppmlib_types.hpp"
#include "support/support.hpp"

namespace {

using Pixel = std::array<unsigned char, 3>;
constexpr int kWidth = 4;
constexpr off_t kHeaderBytes = 12;  // "P6\n4 12\n255\n"
constexpr Pixel kNew = {0xEE, 0xDD, 0xCC};

Pixel original(int x, int y) { return {static_cast<unsigned char>(x), static_cast<unsigned char>(y), 7}; }

class PpmPixel : public ::testing::Test {
 protected:
  void SetUp() override {  // 12 rows of original pixels
    std::string pixels;
    for (int i = 0; i < kWidth * 12; ++i)
      pixels.append(reinterpret_cast<const char*>(original(i % kWidth, i / kWidth).data()), 3);
    open_image(test_support::ppm_bytes("P6", kWidth, 12, 255, pixels));
  }
  void TearDown() override { if (pi_.pi_fd >= 0) close_ppm(&pi_); }
  void open_image(const std::string& bytes) {
    test_support::write_file(path_, bytes);
    pi_ = PPM_INFO{};
    pi_.pi_fd = ::open(path_.c_str(), O_RDWR);
    ASSERT_EQ(read_header(&pi_), 0);
  }
  Pixel read(unsigned w, unsigned h) {
    Pixel c = {1, 1, 1};
    read_pixel(&pi_, w, h, c.data());
    return c;
  }
  // The file's bytes of a pixel, read or changed behind the handle's back.
  Pixel in_file(int w, int h, const Pixel* change = nullptr) {
    Pixel c{};
    int fd = ::open(path_.c_str(), O_RDWR);
    off_t at = kHeaderBytes + (h * kWidth + w) * 3;
    EXPECT_TRUE((!change || ::pwrite(fd, change->data(), 3, at) == 3) && ::pread(fd, c.data(), 3, at) >= 0);
    ::close(fd);
    return c;
  }
  std::string path_ = test_support::scratch_path("image.ppm");
  PPM_INFO pi_{};
};

// Rows changed in the file behind the handle's back show which rows a read takes from the cache.
TEST_F(PpmPixel, CacheKeepsTheTenRowsUsedLast) {
  for (int h : {2, 5, 8}) read(0, h);
  EXPECT_EQ(read(3, 2), original(3, 2));  // row 2 is the newest again
  for (int h : {0, 1, 3, 4, 6, 7, 9, 10}) EXPECT_EQ(read(1, h), original(1, h));  // the eleventh row evicts 5
  for (int h : {2, 5, 8}) in_file(1, h, &kNew);
  EXPECT_EQ(read(1, 8), original(1, 8));
  EXPECT_EQ(read(1, 2), original(1, 2));
  EXPECT_EQ(read(1, 5), kNew);  // read from the file again
  EXPECT_EQ(get_pixel(&pi_, 0, 11), nullptr);
}

// A header read again on the handle starts afresh: no cached row, no pending row.
TEST_F(PpmPixel, ReadingTheHeaderAgainForgetsCachedAndPendingRows) {
  read(1, 8);
  write_pixel(&pi_, 1, 9, kNew.data());
  in_file(1, 8, &kNew);
  ASSERT_EQ(read_header(&pi_), 0);
  EXPECT_EQ(read(1, 8), kNew);
  close_ppm(&pi_);
  EXPECT_EQ(in_file(1, 9), original(1, 9));
}

// A read sees a pending write only in a row the cache holds: the cache is not filled from it.
TEST_F(PpmPixel, PendingRowReachesTheFileWhenWritingMovesOnAndAtClose) {
  read(0, 5);
  write_pixel(&pi_, 1, 5, kNew.data());
  EXPECT_EQ(std::pair(in_file(1, 5), read(1, 5)), std::pair(original(1, 5), kNew));
  write_pixel(&pi_, 2, 9, kNew.data());
  EXPECT_EQ(read(2, 9), original(2, 9));
  EXPECT_EQ(in_file(1, 5), kNew);
  EXPECT_EQ(std::pair(in_file(0, 5), in_file(3, 5)), std::pair(original(0, 5), original(3, 5)));  // the row's others
  EXPECT_EQ(in_file(2, 9), original(2, 9));
  int fd = pi_.pi_fd;
  close_ppm(&pi_);
  EXPECT_EQ(std::pair(in_file(2, 9), in_file(1, 9)), std::pair(kNew, original(1, 9)));
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

// A cached row serves the pixels of its width and no more: x = width is no pixel, not the bytes
// behind the row.
TEST_F(PpmPixel, CachedRowServesNoPixelBeyondItsEdge) {
  EXPECT_EQ(read(kWidth - 1, 3), original(kWidth - 1, 3));
  const unsigned char* last = get_pixel(&pi_, kWidth - 1, 3);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(Pixel({last[0], last[1], last[2]}), original(kWidth - 1, 3));
  EXPECT_EQ(get_pixel(&pi_, kWidth, 3), nullptr);
  EXPECT_EQ(get_pixel(&pi_, -1, 3), nullptr);
  EXPECT_EQ(read(kWidth, 3), Pixel({0, 0, 0}));
}

TEST_F(PpmPixel, BytesTheFileLacksReadAsZero) {
  // "P6\n4 4\n255\n", row 0 whole, half of row 1, rows 2 and 3 missing.
  open_image(test_support::ppm_bytes("P6", kWidth, 4, 255, std::string(18, '\x55')));
  EXPECT_EQ(read(1, 1), Pixel({0x55, 0x55, 0x55}));
  for (auto [w, h] : {std::pair(2, 1), {0, 3}, {kWidth, 0}}) EXPECT_EQ(read(w, h), Pixel({0, 0, 0}));

  write_pixel(&pi_, 1, 3, kNew.data());  // a row beyond the end of the file
  write_pixel(&pi_, kWidth, 0, kNew.data());  // beyond the row: ignored
  close_ppm(&pi_);
  std::string bytes = test_support::read_file(path_);
  EXPECT_EQ(bytes.size(), 11u + 4 * kWidth * 3);
  EXPECT_EQ(bytes.substr(11, 18), std::string(18, '\x55'));
  EXPECT_EQ(bytes.substr(bytes.size() - 12), std::string("\0\0\0\xEE\xDD\xCC\0\0\0\0\0\0", 12));
}

}  // namespace
