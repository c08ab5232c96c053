// Byte order: the host flag, and record conversions that reverse exactly the multi-byte fields,
// are their own inverse and change nothing on a big-endian host.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "change_endian.hpp"

namespace {

template <typename T>
std::array<unsigned char, sizeof(T)> bytes_of(const T& value) {
  std::array<unsigned char, sizeof(T)> bytes;
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

template <typename T>
void set_bytes(T* value, std::array<unsigned char, sizeof(T)> bytes) {
  std::memcpy(value, bytes.data(), sizeof(T));
}

// Runs a test body with endian_flag forced to `flag`, restoring it afterwards.
class FlagScope {
 public:
  explicit FlagScope(char flag) : saved_(endian_flag) { endian_flag = flag; }
  ~FlagScope() { endian_flag = saved_; }

 private:
  char saved_;
};

TEST(CheckEndian, FlagsThisHost) {
  FlagScope scope(0);
  check_endian();
  EXPECT_EQ(endian_flag, std::endian::native == std::endian::little ? 1 : 0);
}

TEST(ChangeEndian, PointReversesEachFloatAndBack) {
  FlagScope scope(1);
  VX_POINT p;
  set_bytes(&p, {0x3F, 0x80, 0x00, 0x00, 0x40, 0x49, 0x0F, 0xDB});
  change_endian_vx_point(&p);
  EXPECT_EQ(bytes_of(p), (std::array<unsigned char, 8>{0x00, 0x00, 0x80, 0x3F, 0xDB, 0x0F, 0x49, 0x40}));
  change_endian_vx_point(&p);
  EXPECT_EQ(bytes_of(p), (std::array<unsigned char, 8>{0x3F, 0x80, 0x00, 0x00, 0x40, 0x49, 0x0F, 0xDB}));
}

// A reversed pattern may be a signalling NaN; it must travel as raw bytes, unchanged.
TEST(ChangeEndian, FloatPatternsThatAreNotNumbersSurvive) {
  FlagScope scope(1);
  VX_COLOR c;
  std::array<unsigned char, 16> original{0x01, 0x00, 0x80, 0x7F, 0x00, 0x00, 0xC0, 0xFF,
                                         0x01, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78};
  set_bytes(&c, original);
  change_endian_vx_color(&c);
  EXPECT_EQ(bytes_of(c), (std::array<unsigned char, 16>{0x7F, 0x80, 0x00, 0x01, 0xFF, 0xC0, 0x00, 0x00, 0x00,
                                                         0x00, 0x00, 0x01, 0x78, 0x56, 0x34, 0x12}));
  change_endian_vx_color(&c);
  EXPECT_EQ(bytes_of(c), original);
}

TEST(ChangeEndian, RectConvertsBothCorners) {
  FlagScope scope(1);
  VX_RECT r;
  std::array<unsigned char, 16> original{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  set_bytes(&r, original);
  change_endian_vx_rect(&r);
  EXPECT_EQ(bytes_of(r), (std::array<unsigned char, 16>{4, 3, 2, 1, 8, 7, 6, 5, 12, 11, 10, 9, 16, 15, 14, 13}));
}

TEST(ChangeEndian, TimeChangesOnlyTheYear) {
  FlagScope scope(1);
  VX_TIME t;
  std::memset(&t, 0xEE, sizeof t);
  set_bytes(&t.year, {0x44, 0xFC, 0xE0, 0x00});
  t.month = 12;
  t.date = 31;
  t.day = 6;
  t.hour = 23;
  t.min = 59;
  t.sec = 58;
  auto before = bytes_of(t);
  change_endian_vx_time(&t);
  auto after = bytes_of(t);
  EXPECT_EQ(bytes_of(t.year), (std::array<unsigned char, 4>{0x00, 0xE0, 0xFC, 0x44}));
  EXPECT_TRUE(std::equal(before.begin() + 4, before.end(), after.begin() + 4));
}

TEST(ChangeEndian, WideStringStopsAtItsTerminator) {
  FlagScope scope(1);
  L_CHAR str[4];
  std::array<unsigned char, 16> original{0x00, 0x00, 0x30, 0x42, 0x00, 0x01, 0xF6, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44};
  set_bytes(&str, original);
  change_endian_l_char(str);
  EXPECT_EQ(bytes_of(str), (std::array<unsigned char, 16>{0x42, 0x30, 0x00, 0x00, 0x00, 0xF6, 0x01, 0x00, 0x00,
                                                           0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44}));
  L_CHAR empty[2] = {0, 0x01020304};
  change_endian_l_char(empty);
  EXPECT_EQ(empty[1], 0x01020304u);
}

TEST(ChangeEndian, FieldConvertersReverseTwoAndFourBytes) {
  FlagScope scope(1);
  unsigned char two[2] = {0x03, 0xE8};
  change_endian_16(two);
  EXPECT_EQ(two[0], 0xE8);
  EXPECT_EQ(two[1], 0x03);
  unsigned char four[4] = {1, 2, 3, 4};
  change_endian_32(four);
  EXPECT_EQ(bytes_of(four), (std::array<unsigned char, 4>{4, 3, 2, 1}));
}

TEST(ChangeEndian, BigEndianHostChangesNothing) {
  FlagScope scope(0);
  std::array<unsigned char, 16> pattern{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  VX_POINT p;
  VX_RECT r;
  VX_COLOR c;
  VX_TIME t;
  L_CHAR s[4];
  set_bytes(&p, {1, 2, 3, 4, 5, 6, 7, 8});
  set_bytes(&r, pattern);
  set_bytes(&c, pattern);
  std::memcpy(&t, pattern.data(), sizeof t);
  set_bytes(&s, {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 9, 9, 9, 9});
  auto tb = bytes_of(t);
  auto sb = bytes_of(s);
  unsigned char two[2] = {1, 2};
  unsigned char four[4] = {1, 2, 3, 4};
  change_endian_vx_point(&p);
  change_endian_vx_rect(&r);
  change_endian_vx_color(&c);
  change_endian_vx_time(&t);
  change_endian_l_char(s);
  change_endian_16(two);
  change_endian_32(four);
  EXPECT_EQ(bytes_of(p), (std::array<unsigned char, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(bytes_of(r), pattern);
  EXPECT_EQ(bytes_of(c), pattern);
  EXPECT_EQ(bytes_of(t), tb);
  EXPECT_EQ(bytes_of(s), sb);
  EXPECT_EQ(bytes_of(two), (std::array<unsigned char, 2>{1, 2}));
  EXPECT_EQ(bytes_of(four), (std::array<unsigned char, 4>{1, 2, 3, 4}));
}

}  // namespace
