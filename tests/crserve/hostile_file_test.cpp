// crserve on a CR file made to cost memory: every rectangle of level 0 points at one JPEG padded
// with comments to the longest a block may be. Each tile needs that block, rebuilt and encoded
// afresh (no tile cache), and the server's memory stays bounded by its readers, not by the tiles
// asked for.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "r64/cr/cr_files.hpp"  // with the test support
#include "support/crserve_client.hpp"

using namespace test_support;

namespace {

constexpr int kWidth = 16384;  // Deep Zoom level 14: 64 x 2 tiles of 256
constexpr int kHeight = 512;
constexpr long kBoundKib = 128 << 10;

TEST(HostileFile, PaddedBlocksKeepTheServerWithinItsMemory) {
  cr_test::write_cr_of_one_block(kWidth, kHeight, cr_test::padded_jpeg(1700 * 1000));
  CrserveProcess server({"-cache", "0", "-threads", "2"});
  ASSERT_GT(server.port(), 0) << server.line();
  Socket socket(server.port(), "127.0.0.1", 30);
  int served = 0;
  for (int row = 0; row < 2; ++row)
    for (int column = 0; column < 60; ++column)
      served += get(socket, "/image_files/14/" + std::to_string(column) + "_" + std::to_string(row) + ".jpg").status == 200;
  EXPECT_EQ(served, 120);
  long peak = process_status(server.pid(), "VmHWM");
  std::printf("120 tiles of padded blocks: server peak %ld KiB\n", peak);
  if (kPeakIsTheTools) {
    EXPECT_LT(peak, kBoundKib);
  }
  EXPECT_EQ(server.stop(SIGTERM), 0);
}

}  // namespace
