// The writer: block order and sizes of a whole pack, the kind of each block, what the offsets and
// samples hold, elongated images, refusals, and the reconstruction of a photo from its CR file.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "change_endian.hpp"
#include "r64/cr/cr_files.hpp"
#include "r64.hpp"
#include "support/support.hpp"

extern unsigned int loading_file_size;
extern unsigned int indicate_file_size;

namespace {

using namespace cr_test;
using test_support::read_file;
using test_support::scratch_path;

Image textured(int w, int h) {
  return make_image(w, h, [](int x, int y, uint8_t* p) {
    p[0] = static_cast<uint8_t>((x * 7 + y * 3) % 256);
    p[1] = static_cast<uint8_t>((x * x + y * 5) % 256);
    p[2] = static_cast<uint8_t>(((x / 9) ^ (y / 7)) * 16 % 256);
  });
}

Image load_ppm(const std::string& path) {
  std::string bytes = read_file(path);
  std::istringstream in(bytes);
  std::string magic;
  int w = 0;
  int h = 0;
  int max = 0;
  in >> magic >> w >> h >> max;
  in.get();
  Image image{w, h, {}};
  size_t start = static_cast<size_t>(in.tellg());
  image.rgb.assign(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(start) + 3L * w * h);
  return image;
}

class CrWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    check_endian();
    r64_init();
  }

  // Writes `levels` into an R64 file and packs it; returns cr_write_file's result.
  int pack(const std::vector<Image>& levels, int rect, const std::string& cr_path, char type = 'P') {
    std::string r64_path = cr_path + ".r64";
    EXPECT_TRUE(write_r64(r64_path, levels, type));
    R64_FILE* f = r64_open_file(r64_path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return -100;
    int result = cr_write_file(cr_path.c_str(), 0644, rect, f);
    error_ = r64_error;
    r64_close_file(f);
    return result;
  }
  int error_ = 0;
};

TEST_F(CrWriteTest, WritesBlocksDepthFirstCoarsestFirst) {
  std::string path = scratch_path("a.cr");
  loading_file_size = 0;
  indicate_file_size = 0;
  testing::internal::CaptureStdout();
  ASSERT_EQ(pack(pyramid(textured(1000, 600)), 256, path), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("loading 36   \r", 0), 0u) << "the first line follows the 4 x 3 root";
  EXPECT_EQ(out.back(), '\n');

  CrFile cr(read_file(path));
  ASSERT_EQ(cr.count, 24u);
  Entry root = cr.entry(22);
  EXPECT_EQ(root.ofs, 304u);
  EXPECT_EQ(root.type, 'n');
  EXPECT_EQ(root.size, 38u);
  EXPECT_EQ(cr.bytes.substr(280 + 4, 1), "n");
  Entry level7 = cr.entry(21);
  EXPECT_EQ(level7.type, 'n');
  EXPECT_EQ(level7.size, 122u);
  EXPECT_EQ(level7.ofs, 342u);
  Entry level6 = cr.entry(20);
  EXPECT_EQ(level6.type, 'n');
  EXPECT_EQ(level6.size, 482u);
  EXPECT_EQ(level6.ofs, 464u);
  EXPECT_EQ(cr.entry(19).type, 'j');
  EXPECT_FALSE(cr.entry(23).present());
  EXPECT_EQ(cr.bytes.substr(16 + 12 * 23, 12), std::string(12, '\0'));

  // Levels 8 .. 2, then each level-1 rectangle followed by its level-0 children.
  const std::vector<int> preorder = {22, 21, 20, 19, 18, 17, 16,  //
                                     12, 0,  1,  4,  5,            // level 1 (0,0)
                                     13, 2,  3,  6,  7,            // level 1 (256,0)
                                     14, 8,  9,                    // level 1 (0,256)
                                     15, 10, 11};                  // level 1 (256,256)
  expect_contiguous_blocks(cr, preorder);
}

TEST_F(CrWriteTest, StoresSmallRectanglesUncompressed) {
  struct Case {
    int side, rect, entry;
    char type;
    int w_len, h_len;
  };
  const Case cases[] = {{80, 64, 3, 'j', 16, 16},  {80, 64, 1, 'j', 16, 64},  {79, 64, 3, 'n', 15, 15},
                        {79, 64, 1, 'n', 15, 64},  {79, 64, 2, 'n', 64, 15},  {271, 256, 1, 'n', 15, 256},
                        {271, 256, 2, 'n', 256, 15}, {271, 256, 0, 'j', 256, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.side) + " / " + std::to_string(c.rect) + " entry " + std::to_string(c.entry));
    std::string path = scratch_path("k.cr");
    testing::internal::CaptureStdout();
    ASSERT_EQ(pack(pyramid(textured(c.side, c.side)), c.rect, path), 0);
    testing::internal::GetCapturedStdout();
    CrFile cr(read_file(path));
    Entry e = cr.entry(static_cast<size_t>(c.entry));
    EXPECT_EQ(e.type, c.type);
    if (c.type == 'n') {
      EXPECT_EQ(e.size, 2u + 3u * c.w_len * c.h_len);
      EXPECT_EQ(static_cast<uint8_t>(cr.bytes[e.ofs]), c.w_len - 1);
      EXPECT_EQ(static_cast<uint8_t>(cr.bytes[e.ofs + 1]), c.h_len - 1);
    }
    EXPECT_FALSE(decode_block(cr.block(e), e.type, c.w_len, c.h_len).empty());
  }
}

TEST_F(CrWriteTest, GreyAndBitFilesServeOneByteAsAllChannels) {
  for (char type : {'G', 'B'}) {
    SCOPED_TRACE(std::string(1, type));
    Image base = make_image(40, 30, [type](int x, int y, uint8_t* p) {
      uint8_t v = type == 'B' ? ((x + y) % 3 == 0 ? 255 : 0) : static_cast<uint8_t>(x * 5 + y);
      p[0] = p[1] = p[2] = v;
    });
    std::vector<Image> levels = pyramid(base);
    if (type == 'B')
      for (Image& level : levels)
        for (uint8_t& v : level.rgb) v = v >= 128 ? 255 : 0;
    std::string path = scratch_path("g.cr");
    testing::internal::CaptureStdout();
    ASSERT_EQ(pack(levels, 64, path, type), 0);
    testing::internal::GetCapturedStdout();
    CrFile cr(read_file(path));
    Entry root = cr.entry(3);  // levels 40x30, 20x15, 10x8, 5x4: one entry each
    ASSERT_TRUE(root.present());
    EXPECT_EQ(root.cal[0], root.cal[1]);
    EXPECT_EQ(root.cal[1], root.cal[2]);
    rebuild_and_check(cr, levels);
  }
}

TEST_F(CrWriteTest, ChildEqualToRebuiltParentCodesZeroResiduals) {
  std::string path = scratch_path("flat.cr");
  Image flat = make_image(12, 12, [](int, int, uint8_t* p) {
    p[0] = 40;
    p[1] = 90;
    p[2] = 200;
  });
  testing::internal::CaptureStdout();
  ASSERT_EQ(pack(pyramid(flat), 64, path), 0);
  testing::internal::GetCapturedStdout();
  CrFile cr(read_file(path));
  ASSERT_EQ(cr.count, 4u);  // 12x12, 6x6, 3x3, and the 2x2 that does not exist
  Entry root = cr.entry(2);
  EXPECT_EQ(root.cal[0], 128 - 40);
  EXPECT_EQ(root.cal[2], 128 - 200);
  std::string plain("\x02\x02", 2);  // a 3 x 3 block of the plain colour
  for (int i = 0; i < 9; ++i) plain += "\x28\x5a\xc8";
  EXPECT_EQ(cr.block(root), plain);
  for (size_t index : {0u, 1u}) {
    Entry child = cr.entry(index);
    EXPECT_EQ(child.type, 'n');
    for (int c = 0; c < 3; ++c) EXPECT_EQ(child.cal[c], 127);
    std::string samples = cr.block(child).substr(2);
    EXPECT_EQ(samples, std::string(samples.size(), '\x7f'));
  }
  EXPECT_FALSE(cr.entry(3).present());
}

TEST_F(CrWriteTest, ElongatedImageGetsARootPerCoarsestRectangle) {
  struct Case {
    int w, h, rect;
    unsigned count, written;
  };
  const Case cases[] = {{1100, 5, 64, 32, 27}, {2000, 3, 256, 12, 8}, {5, 700, 64, 20, 17}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    std::string path = scratch_path("long.cr");
    std::vector<Image> levels = pyramid(textured(c.w, c.h));
    testing::internal::CaptureStdout();
    ASSERT_EQ(pack(levels, c.rect, path), 0);
    testing::internal::GetCapturedStdout();
    CrFile cr(read_file(path));
    ASSERT_EQ(cr.count, c.count);
    for (unsigned i = 0; i < c.count; ++i) EXPECT_EQ(cr.entry(i).present(), i < c.written) << "entry " << i;
    std::vector<Image> rebuilt = rebuild_and_check(cr, levels);
    for (size_t k = 0; k < levels.size(); ++k) EXPECT_GE(psnr(rebuilt[k], levels[k]), 30.0) << "level " << k;
  }
}

TEST_F(CrWriteTest, UnbuiltLevelsLeaveHeaderAndEmptyTable) {
  std::string path = scratch_path("unbuilt.cr");
  std::vector<Image> level0 = {textured(1000, 600)};
  testing::internal::CaptureStdout();
  EXPECT_EQ(pack(level0, 256, path), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(error_, -6);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 304u);
  EXPECT_EQ(bytes.substr(16), std::string(288, '\0'));
}

TEST_F(CrWriteTest, ImageWithoutLevelsIsRefused) {
  std::string r64_path = scratch_path("thin.r64");
  R64_FILE* made = r64_open_file(r64_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', 2, 100);
  ASSERT_NE(made, nullptr);
  r64_close_file(made);
  R64_FILE* f = r64_open_file(r64_path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
  ASSERT_NE(f, nullptr);
  std::string path = scratch_path("thin.cr");
  EXPECT_EQ(cr_write_file(path.c_str(), 0644, 256, f), -1);
  EXPECT_EQ(r64_error, -2);
  r64_close_file(f);
  EXPECT_EQ(read_file(path).size(), 16u + 12u);
}

// The photo comes back from its CR file within JPEG error at every level, and every offset and
// uncompressed block is what the coding rule gives against the rebuilt parent.
TEST_F(CrWriteTest, PhotoRebuildsFromItsBlocks) {
  Image photo = load_ppm(test_support::sample_path("coffee.ppm"));
  ASSERT_GT(photo.w, 0);
  std::vector<Image> levels = pyramid(photo);
  for (int rect : {256, 64}) {
    SCOPED_TRACE("rect " + std::to_string(rect));
    std::string path = scratch_path("coffee.cr");
    testing::internal::CaptureStdout();
    ASSERT_EQ(pack(levels, rect, path), 0);
    testing::internal::GetCapturedStdout();
    CrFile cr(read_file(path));
    std::vector<Image> rebuilt = rebuild_and_check(cr, levels);
    std::ostringstream report;
    for (size_t k = 0; k < levels.size(); ++k) {
      double db = psnr(rebuilt[k], levels[k]);
      report << " L" << k << "=" << static_cast<int>(db * 10) / 10.0;
      EXPECT_GE(db, 26.0) << "level " << k;
    }
    std::cout << "coffee " << photo.w << "x" << photo.h << " rect " << rect << " PSNR dB:" << report.str() << "\n";
    RecordProperty("psnr_rect_" + std::to_string(rect), report.str());
  }
}

}  // namespace
