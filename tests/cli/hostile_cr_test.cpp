// CR files made to cost memory: blocks padded with comment segments, every rectangle of level 0
// pointing at the same one. cr2ppm stays within its stated memory whatever the blocks hold, and a
// block longer than its rectangle can need is damaged before it is read.
#include <cstring>

#include "r64/cr/cr_files.hpp"  // with the test support

using namespace test_support;

namespace {

using HostileCr = cr_test::CrTest;

// Two rows of 64 rectangles of 256 at level 0: their blocks would fill the reader's cache, and one
// row of them the blocks waiting to be decoded.
constexpr int kWidth = 16384;
constexpr int kHeight = 512;
constexpr long kStatedPeakKib = 64 << 10;

RunOptions cpu_bounded() {
  RunOptions options;
  options.cpu_seconds = 60;
  return options;
}

// A valid JPEG stream of a 256 x 256 rectangle, its header followed by comment segments up to
// `bytes` in all.
std::string padded_jpeg(size_t bytes) {
  std::vector<unsigned char> pixels(4 * 256 * 256);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7 % 251);
  int length = 0;
  unsigned char* jpeg = jpeg_compress(&length, pixels.data(), 256, 256, 80);
  std::string stream(reinterpret_cast<char*>(jpeg), static_cast<size_t>(length));
  std::free(jpeg);
  std::string comments;
  while (stream.size() + comments.size() < bytes) {
    size_t payload = std::min<size_t>(65533, bytes - stream.size() - comments.size() - 4);
    comments += "\xFF\xFE";
    comments += static_cast<char>((payload + 2) >> 8);
    comments += static_cast<char>((payload + 2) & 0xFF);
    comments += std::string(payload, 'x');
  }
  return stream.insert(2, comments);  // right after the start-of-image marker
}

void put_be32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// Packs a photo into p.cr, then appends `block` and points every rectangle of level 0 at it.
void write_hostile_cr(const std::string& block) {
  write_photo_ppm("p.ppm", kWidth, kHeight);
  RunResult job = run_tool({"-pr", "p.ppm", "p.r64", "-l", "-cr", "p.cr"});
  ASSERT_EQ(job.status, 0) << job.err;
  std::string cr = read_file(scratch_path("p.cr"));
  const uint32_t at = static_cast<uint32_t>(cr.size());
  cr += block;
  for (size_t index = 0; index < (kWidth / 256) * (kHeight / 256); ++index) {
    put_be32(cr, 16 + 12 * index, at);
    cr[16 + 12 * index + 4] = 'j';
    put_be32(cr, 16 + 12 * index + 8, static_cast<uint32_t>(block.size()));
  }
  write_file(scratch_path("p.cr"), cr);
}

TEST_F(HostileCr, BlocksPaddedToTheirLargestStayWithinTheStatedMemory) {
  write_hostile_cr(padded_jpeg(1700 * 1000));
  for (const char* threads : {"1", "2"}) {
    const std::vector<std::vector<std::string>> runs = {
        {"-threads", threads, "-x", "p.cr", "0", "out.ppm"},
        {"-threads", threads, "-xr", "p.cr", "0", "0", "0", "16384", "512", "out.ppm"}};
    for (const auto& args : runs) {
      RunResult r = run_cr2ppm(args, cpu_bounded());
      EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string())) << args[2];
      if (kPeakIsTheTools) {
        EXPECT_LT(r.peak_kib, kStatedPeakKib) << args[2] << " on " << threads << " threads";
      }
      EXPECT_EQ(file_size(scratch_path("out.ppm")), static_cast<long>(std::string("P6\n16384 512\n255\n").size()) + 3L * kWidth * kHeight);
      std::printf("%s on %s threads: %.2f s, %ld KiB\n", args[2].c_str(), threads, r.seconds, r.peak_kib);
    }
  }
}

TEST_F(HostileCr, ABlockLongerThanItsRectangleCanNeedIsDamagedBeforeItIsRead) {
  write_hostile_cr(padded_jpeg(8 << 20));
  RunResult r = run_cr2ppm({"-threads", "1", "-x", "p.cr", "0", "out.ppm"}, cpu_bounded());
  EXPECT_EQ(std::pair(r.status, r.err),
            std::pair(1, std::string("rectangle (0, 0) of level 0 of \"p.cr\" is damaged\n")));
  if (kPeakIsTheTools) {
    EXPECT_LT(r.peak_kib, kStatedPeakKib);
  }
  EXPECT_EQ(file_size(scratch_path("out.ppm")), -1);
  EXPECT_EQ(leftover_temporaries(), 0);
}

}  // namespace
