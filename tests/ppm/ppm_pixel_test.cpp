// Pixel access through the row cache and the pending write line: which rows the cache keeps and
// in what order, when written pixels reach the file, what reads see before that, and bytes the
// file lacks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

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
  void TearDown() override {
    if (pi_.pi_fd >= 0) close_ppm(&pi_);
  }
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
    if (change) {
      EXPECT_EQ(::pwrite(fd, change->data(), 3, at), 3);
    }
    EXPECT_GE(::pread(fd, c.data(), 3, at), 0);
    ::close(fd);
    return c;
  }
  std::vector<int> cached_rows() const {
    std::vector<int> rows;
    for (const PPM_CACHE& slot : pi_.pi_cache)
      if (slot.pc_line) rows.push_back(slot.pc_h);
    return rows;
  }

  std::string path_ = test_support::scratch_path("image.ppm");
  PPM_INFO pi_{};
};

TEST_F(PpmPixel, CacheKeepsTheTenRowsUsedLast) {
  for (int h : {2, 5, 8}) read(0, h);
  EXPECT_EQ(read(3, 2), original(3, 2));
  EXPECT_EQ(cached_rows(), (std::vector<int>{2, 8, 5}));
  for (int h : {0, 1, 3, 4, 6, 7, 9, 10}) EXPECT_EQ(read(1, h), original(1, h));  // the eleventh row evicts 5
  EXPECT_EQ(cached_rows(), (std::vector<int>{10, 9, 7, 6, 4, 3, 1, 0, 2, 8}));
  in_file(1, 5, &kNew);
  in_file(1, 8, &kNew);
  EXPECT_EQ(read(1, 8), original(1, 8));
  EXPECT_EQ(read(1, 5), kNew);  // read from the file again
  EXPECT_EQ(get_pixel(&pi_, 0, 11), nullptr);
}

TEST_F(PpmPixel, PendingRowReachesTheFileWhenWritingMovesOnAndAtClose) {
  write_pixel(&pi_, 1, 5, kNew.data());
  EXPECT_EQ(in_file(1, 5), original(1, 5));
  write_pixel(&pi_, 2, 9, kNew.data());
  EXPECT_EQ(in_file(1, 5), kNew);
  EXPECT_EQ(in_file(0, 5), original(0, 5));  // the row's other pixels keep the file's values
  EXPECT_EQ(in_file(3, 5), original(3, 5));
  EXPECT_EQ(in_file(2, 9), original(2, 9));
  read(0, 0);
  int fd = pi_.pi_fd;
  close_ppm(&pi_);
  EXPECT_EQ(in_file(2, 9), kNew);
  EXPECT_EQ(in_file(1, 9), original(1, 9));
  EXPECT_EQ(pi_.pi_write, nullptr);
  EXPECT_TRUE(cached_rows().empty());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST_F(PpmPixel, ReadsSeeWritesOnlyInCachedRows) {
  read(0, 3);
  write_pixel(&pi_, 1, 3, kNew.data());
  EXPECT_EQ(read(1, 3), kNew);
  write_pixel(&pi_, 1, 4, kNew.data());
  EXPECT_EQ(read(1, 4), original(1, 4));  // the cache is not filled from the pending row
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
