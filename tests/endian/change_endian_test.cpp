// Byte order: the host flag, and record conversions that reverse exactly the multi-byte fields,
// are their own inverse and change nothing while endian_flag is 0 (a big-endian host).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "change_endian.hpp"

namespace {

using Bytes = std::array<unsigned char, 16>;

// Runs `convert` on a T stored as the first bytes of `bytes`.
template <typename T>
std::function<Bytes(Bytes)> on(void (*convert)(T*)) {
  return [convert](Bytes bytes) {
    T record;
    std::memcpy(&record, bytes.data(), sizeof record);
    convert(&record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
  };
}

TEST(CheckEndian, FlagsThisLittleEndianHost) {
  endian_flag = 0;
  check_endian();
  EXPECT_EQ(endian_flag, 1);
}

// Float fields travel as raw bytes, so reversed patterns that are not numbers survive too; a time
// changes only its year; a wide string stops at its terminator.
TEST(ChangeEndian, RecordsReverseEachMultiByteField) {
  const struct { const char* name; std::function<Bytes(Bytes)> convert; Bytes file, host; } cases[] = {
      {"point", on(change_endian_vx_point), {0x3F, 0x80, 0, 0, 0x40, 0x49, 0x0F, 0xDB}, {0, 0, 0x80, 0x3F, 0xDB, 0x0F, 0x49, 0x40}},
      {"rect", on(change_endian_vx_rect), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {4, 3, 2, 1, 8, 7, 6, 5, 12, 11, 10, 9, 16, 15, 14, 13}},
      {"color", on(change_endian_vx_color), {0x01, 0, 0x80, 0x7F, 0, 0, 0xC0, 0xFF, 1, 0, 0, 0, 0x12, 0x34, 0x56, 0x78},
       {0x7F, 0x80, 0, 0x01, 0xFF, 0xC0, 0, 0, 0, 0, 0, 1, 0x78, 0x56, 0x34, 0x12}},
      {"time", on(change_endian_vx_time), {0x44, 0xFC, 0xE0, 0, 12, 31, 6, 23, 59, 58, 0xEE, 0xEE},
       {0, 0xE0, 0xFC, 0x44, 12, 31, 6, 23, 59, 58, 0xEE, 0xEE}},
      {"wide string", on(+[](std::array<L_CHAR, 4>* s) { change_endian_l_char(s->data()); }),
       {0, 0, 0x30, 0x42, 0, 1, 0xF6, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44},
       {0x42, 0x30, 0, 0, 0, 0xF6, 1, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44}},
      {"empty wide string", on(+[](std::array<L_CHAR, 4>* s) { change_endian_l_char(s->data()); }),
       {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
  };
  for (const auto& c : cases) {
    endian_flag = 1;
    EXPECT_EQ(c.convert(c.file), c.host) << c.name;
    EXPECT_EQ(c.convert(c.host), c.file) << c.name;
    endian_flag = 0;
    EXPECT_EQ(c.convert(c.file), c.file) << c.name;
  }
}

}  // namespace
