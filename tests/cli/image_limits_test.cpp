// "-ir" on files made to exhaust its memory or its time, each valid as far as the libraries go:
// TIFF directories of huge tags or tables, a progressive JPEG repeating its scans, a PNG piling
// chunks on an interlaced image. Each is refused with one message naming the bound, exit status 1
// and no file left, well within 64 MiB and in a moment.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

constexpr long kMemoryBoundKib = 64 << 10;  // what "-ir" promises for any image
constexpr long kRefusalKib = 32 << 10;      // a refusal's peak, with room to spare
constexpr int kCpuSeconds = 10;             // a run without the bounds goes on far longer

// Converts `image` with "-ir", its CPU time bounded.
RunResult convert(const std::string& image) {
  RunOptions options;
  options.cpu_seconds = kCpuSeconds;
  return run_tool({"-ir", image, "out.r64"}, options);
}

// Writes `bytes` as a file, released before the run (the tool's peak counts this process's memory
// at the fork), converts it, and expects the refusal `reason` within `peak_kib` of memory.
void expect_refused(std::string bytes, const std::string& reason, long peak_kib = kRefusalKib) {
  write_file(scratch_path("in"), bytes);
  std::string().swap(bytes);
  RunResult r = convert("in");
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, "cannot convert the image \"in\": " + reason + "\n"));
  EXPECT_EQ(file_size(scratch_path("out.r64")), -1) << reason;
  EXPECT_EQ(leftover_temporaries(), 0) << reason;
  if (kPeakIsTheTools) {
    EXPECT_LT(r.peak_kib, peak_kib) << reason;
  }
}

std::vector<uint16_t> tags_from(uint16_t first, int count) {
  std::vector<uint16_t> tags;
  for (int i = 0; i < count; ++i) tags.push_back(static_cast<uint16_t>(first + i));
  return tags;
}

// Tags pointing at the same bytes cost the file those bytes once and libtiff each time.
TEST(ImageLimits, TiffTagsBeyondTheirBoundAreRefusedBeforeLibtiffReadsThem) {
  constexpr uint32_t kMiB = 1 << 20;
  const std::vector<uint16_t> text_tags = {TIFFTAG_DOCUMENTNAME, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE,
                                           TIFFTAG_MODEL, TIFFTAG_PAGENAME, TIFFTAG_SOFTWARE,
                                           TIFFTAG_ARTIST, TIFFTAG_HOSTCOMPUTER, TIFFTAG_TARGETPRINTER,
                                           TIFFTAG_COPYRIGHT};
  expect_refused(tiff_with_tags(tags_from(65000, 400), TIFF_UNDEFINED, kMiB), "the TIFF tags hold 400 MiB of values (at most 6)");
  expect_refused(tiff_with_tags(text_tags, TIFF_ASCII, kMiB), "the TIFF tags hold 10 MiB of values (at most 6)");
  expect_refused(tiff_with_tags(tags_from(50000, 3), TIFF_DOUBLE, kMiB / 2), "the TIFF tags hold 12 MiB of values (at most 6)");
  expect_refused(tiff_with_tags(tags_from(50000, 2000), TIFF_LONG, 1), "the TIFF directory holds 2009 tags (at most 1024)");
}

// 1 x 1 tiles make tables of 16 bytes a pixel in libtiff and a read per pixel; 16 x 16 tiles of a
// large image make tables of 16 MiB.
TEST(ImageLimits, TiffTilesOfOddSidesOrTooManyAreRefusedBeforeLibtiffReadsThem) {
  expect_refused(tiff_of_tiles(512, 512, 1, 1), "TIFF tiles of 1 x 1 are not supported (their sides must be multiples of 16)");
  expect_refused(tiff_of_tiles(16384, 16384, 16, 16),
                 "the TIFF image has 1048576 tiles, whose offsets and byte counts take 16 MiB (at most 4)");
}

// libtiff reads a compressed tile whole before decoding it: tiles claiming 30 MiB each, beside a
// row of tiles that fits by itself, are refused before any is read.
TEST(ImageLimits, TiffTilesClaimingMoreThanARowMayHoldAreRefused) {
  RawTiffOptions deflated;
  deflated.compression = COMPRESSION_ADOBE_DEFLATE;
  deflated.claimed_bytes = 30u << 20;
  expect_refused(tiff_of_tiles(9216, 1024, 1024, 1024, deflated),
                 "a row of its 1024 x 1024 TIFF tiles needs 58 MiB (at most 32)");
}

// Each scan is a pass over every coefficient: 40000 of them (1.4 MB) take the decoder some
// seconds, the 100 a component allowed a fraction of one.
TEST(ImageLimits, ProgressiveJpegStopsAtItsBoundOnScans) {
  expect_refused(jpeg_with_repeated_scans(2048, 2048, 1, 40000),
                 "the JPEG image comes in more than 100 scans (at most 100 a component)");
}

// `count` text chunks of `bytes` characters each.
std::string text_chunks(int count, size_t bytes) {
  std::string text = "Comment";
  text += '\0';
  text.append(bytes, 'x');
  std::string chunks;
  for (int i = 0; i < count; ++i) chunks += png_chunk("tEXt", text);
  return chunks;
}

constexpr size_t kTextBytes = 1'000'000;
const std::string kChunksRefused = "the PNG file's ancillary chunks need more than libspng may keep (at most 6 MiB)";

TEST(ImageLimits, PngChunksBeyondWhatLibspngMayKeepAreRefused) {
  const std::string image(3 * (1 + 3 * 8), '\0');  // 8 x 3 black RGB, rows filtered
  expect_refused(raw_png(8, 3, 8, 2, 0, image, text_chunks(7, kTextBytes)), kChunksRefused);
  expect_refused(raw_png(8, 3, 8, 2, 0, image, text_chunks(1, 7 * kTextBytes)), kChunksRefused);
}

// The widest interlaced image within the 32 MiB it may take whole, some MB of chunks kept beside
// it: all of it within 64 MiB; 15 MB of chunks are refused.
TEST(ImageLimits, LargestInterlacedPngAndItsChunksStayWithinTheMemoryBound) {
  if (!kPeakIsTheTools) GTEST_SKIP() << "peak memory is the sanitizers' here";
  constexpr uint32_t kWidth = 32767, kHeight = 341;  // 3 x 32767 x 341 bytes: under 32 MiB
  write_file(scratch_path("in.png"), raw_png(kWidth, kHeight, 8, 2, 1, adam7_black_rows(kWidth, kHeight, 3), text_chunks(5, kTextBytes)));
  RunResult r = convert("in.png");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LT(r.peak_kib, kMemoryBoundKib);
  std::remove(scratch_path("out.r64").c_str());
  expect_refused(raw_png(kWidth, kHeight, 8, 2, 1, adam7_black_rows(kWidth, kHeight, 3), text_chunks(15, kTextBytes)),
                 kChunksRefused, kMemoryBoundKib);
}

}  // namespace
