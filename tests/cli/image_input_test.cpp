// "-ir" end to end: the R64 file it writes from PNG, TIFF and JPEG images equals byte for byte the
// one "-pr" writes from a PPM of the same pixels; images it refuses end the run with one message,
// exit status 1 and no file left behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

constexpr int kWidth = 150;  // partial tiles in both directions
constexpr int kHeight = 70;

// The pixels a PPM of maximum `s.max()` holds once alpha is composited over black:
// round(v * a / max), at the samples' own depth.
Samples composited(const Samples& s) {
  const int colours = s.channels >= 3 ? 3 : 1;
  Samples out{s.w, s.h, colours, s.bits, {}};
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x)
      for (int c = 0; c < colours; ++c) {
        uint64_t v = s.at(x, y, c), a = s.at(x, y, s.channels - 1), max = s.max();
        out.v.push_back(static_cast<uint16_t>((v * a * 2 + max) / (2 * max)));
      }
  return out;
}

// Converts `image` with "-ir" and the PPM `reference` with "-pr"; both must succeed alike.
void expect_same_r64(const std::string& image, const std::string& reference, const std::string& what) {
  write_file(scratch_path("ref.ppm"), reference);
  RunResult pr = run_tool({"-pr", "ref.ppm", "ref.r64"});
  RunResult ir = run_tool({"-ir", image, "out.r64"});
  ASSERT_EQ(pr.status, 0) << what << pr.err;
  ASSERT_EQ(ir.status, 0) << what << ir.err;
  EXPECT_TRUE(read_file(scratch_path("out.r64")) == read_file(scratch_path("ref.r64"))) << what;
}

TEST(ImageInput, PngGivesTheR64OfThePpmOfItsPixels) {
  struct Case { const char* what; int channels, bits; };
  for (const Case c : {Case{"rgb8", 3, 8}, Case{"rgb16", 3, 16}, Case{"grey8", 1, 8}, Case{"grey16", 1, 16}}) {
    Samples s = Samples::textured(kWidth, kHeight, c.channels, c.bits);
    write_file(scratch_path("in.png"), png_bytes(s));
    expect_same_r64("in.png", ppm_of(s), c.what);
  }
  for (const Case c : {Case{"rgba8", 4, 8}, Case{"rgba16", 4, 16}, Case{"grey-alpha8", 2, 8}, Case{"grey-alpha16", 2, 16}}) {
    Samples s = Samples::textured(kWidth, kHeight, c.channels, c.bits);
    write_file(scratch_path("in.png"), png_bytes(s));
    expect_same_r64("in.png", ppm_of(composited(s)), c.what);
  }
}

// A palette is expanded; its tRNS alphas composite each entry over black.
TEST(ImageInput, PalettePngIsExpandedAndItsTransparencyComposited) {
  PngOptions options;
  for (int i = 0; i < 200; ++i) options.palette.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
  Samples indexes = Samples::textured(kWidth, kHeight, 1, 8);
  for (uint16_t& v : indexes.v) v %= 200;
  Samples rgba{kWidth, kHeight, 4, 8, {}};
  for (uint16_t i : indexes.v) rgba.v.insert(rgba.v.end(), {options.palette[i][0], options.palette[i][1], options.palette[i][2], 255});
  write_file(scratch_path("in.png"), png_bytes(indexes, options));
  expect_same_r64("in.png", ppm_of(composited(rgba)), "palette");

  for (int i = 0; i < 200; ++i) options.palette_alpha.push_back(uint8_t(i * 5 % 256));
  for (size_t p = 0; p < indexes.v.size(); ++p) rgba.v[4 * p + 3] = options.palette_alpha[indexes.v[p]];
  write_file(scratch_path("in.png"), png_bytes(indexes, options));
  expect_same_r64("in.png", ppm_of(composited(rgba)), "palette with alpha");
}

TEST(ImageInput, TiffStripsTilesBigTiffAndDeepSamplesGiveTheR64OfThePpm) {
  struct Case { const char* what; int channels, bits; TiffOptions options; };
  const Case cases[] = {
      {"strips", 3, 8, {}},
      {"one strip, deflate", 3, 8, {.compression = 8, .rows_per_strip = kHeight}},
      {"tiles", 3, 8, {.tiled = true}},
      {"bigtiff tiles, lzw", 3, 16, {.tiled = true, .bigtiff = true, .compression = 5}},
      {"16-bit strips", 3, 16, {}},
      {"grey", 1, 8, {.tiled = true, .tile = 16}},
      {"grey 16", 1, 16, {}},
  };
  for (const Case& c : cases) {
    Samples s = Samples::textured(kWidth, kHeight, c.channels, c.bits);
    write_tiff(scratch_path("in.tif"), s, c.options);
    expect_same_r64("in.tif", ppm_of(s), c.what);
  }
  Samples rgba = Samples::textured(kWidth, kHeight, 4, 16);
  write_tiff(scratch_path("in.tif"), rgba, {.tiled = true});
  expect_same_r64("in.tif", ppm_of(composited(rgba)), "alpha");
}

// The reference pixels of a JPEG are libjpeg's own decoding of the stream.
TEST(ImageInput, JpegGivesTheR64OfItsDecodedPixels) {
  struct Case { const char* what; int channels; bool progressive; };
  for (const Case c : {Case{"colour", 3, false}, Case{"grey", 1, false}, Case{"progressive", 3, true}}) {
    std::string stream = jpeg_bytes(Samples::textured(kWidth, kHeight, c.channels, 8), 90, c.progressive);
    write_file(scratch_path("in.jpg"), stream);
    expect_same_r64("in.jpg", ppm_of(decode_jpeg(stream)), c.what);
  }
}

// The format comes from the first bytes, never from the name; PPM and PGM go through -ir too, and
// the output becomes the target of the commands that follow.
TEST(ImageInput, FormatIsFoundFromTheContentAndTheOutputBecomesTheTarget) {
  Samples s = Samples::textured(kWidth, kHeight, 3, 8);
  write_file(scratch_path("photo.ppm"), png_bytes(s));
  RunResult r = run_tool({"-ir", "photo.ppm", "a.r64", "-l", "-cr", "a.cr"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("convert photo.ppm(png) to a.r64(r64)\nh = 0/70   \r")) << r.out;
  EXPECT_GT(file_size(scratch_path("a.cr")), 0);
  Samples grey = Samples::textured(kWidth, kHeight, 1, 16);
  write_file(scratch_path("in.pgm"), ppm_of(grey));
  expect_same_r64("in.pgm", ppm_of(grey), "pgm");
}

// Bands are decoded on a thread of their own when there are two, in turn with the storing on one.
TEST(ImageInput, SameFileAndLinesWhateverTheThreads) {
  Samples s = Samples::textured(300, 200, 3, 8);
  write_file(scratch_path("in.png"), png_bytes(s));
  RunResult one = run_tool({"-threads", "1", "-ir", "in.png", "one.r64"});
  RunResult two = run_tool({"-threads", "2", "-ir", "in.png", "two.r64"});
  ASSERT_EQ(std::pair(one.status, two.status), std::pair(0, 0)) << one.err << two.err;
  EXPECT_EQ(one.out, std::string(two.out).replace(two.out.find("two.r64"), 7, "one.r64"));
  EXPECT_TRUE(read_file(scratch_path("one.r64")) == read_file(scratch_path("two.r64")));
  write_file(scratch_path("cut.png"), png_bytes(s).substr(0, 5000));
  for (const char* threads : {"1", "2"}) {
    RunResult r = run_tool({"-threads", threads, "-ir", "cut.png", "out.r64"});
    EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("cannot convert the image \"cut.png\": the PNG data are cut short\n")));
    EXPECT_FALSE(r.out.ends_with("END\n"));
  }
  EXPECT_EQ(leftover_temporaries(), 0);
}

// The README's demo: the bundled PNG holds the bundled PPM's pixels.
TEST(ImageInput, BundledPngGivesTheR64OfTheBundledPpm) {
  expect_same_r64(sample_path("coffee.png"), read_file(sample_path("coffee.ppm")), "coffee");
}

std::string with_byte(std::string bytes, size_t at, char value) {
  bytes[at] = value;
  return bytes;
}

// A JPEG whose frame header claims another size (the SOF marker's fields).
std::string jpeg_sized(std::string stream, int w, int h) {
  size_t sof = stream.find("\xFF\xC0");
  if (sof == std::string::npos) sof = stream.find("\xFF\xC2");
  stream[sof + 5] = char(h >> 8), stream[sof + 6] = char(h & 0xFF);
  stream[sof + 7] = char(w >> 8), stream[sof + 8] = char(w & 0xFF);
  return stream;
}

TEST(ImageInput, RefusedImagesEndTheRunWithOneMessageAndNoFile) {
  const std::string prefix = "cannot convert the image \"in\": ";
  Samples rgb = Samples::textured(kWidth, kHeight, 3, 8);
  const std::string png = png_bytes(rgb), jpeg = jpeg_bytes(rgb, 90);
  write_tiff(scratch_path("t.tif"), rgb, {.compression = 8});
  const std::string tiff = read_file(scratch_path("t.tif"));
  write_tiff(scratch_path("cmyk.tif"), Samples::textured(8, 8, 4, 8), {.photometric = 5});
  write_tiff(scratch_path("planes.tif"), Samples::textured(8, 8, 3, 8), {.planes = true});
  const struct { std::string bytes, reason; } cases[] = {
      {"hello, world", "it is no PNG, TIFF, JPEG or PPM image"},
      {"", "it is no PNG, TIFF, JPEG or PPM image"},
      {"P4\n8 8\n" + std::string(8, '\xAA'), "PPM images of type P4 are not supported"},
      {ppm_bytes("P6", 0, 5, 255, ""), "its size 0 x 5 is outside 1 .. 32767 a side"},
      {png.substr(0, png.size() / 2), "the PNG data are cut short"},
      {with_byte(png, png.size() / 2, char(png[png.size() / 2] ^ 0x55)), "the PNG data are damaged: "},
      {raw_png(40000, 3, 8, 2, 0, ""), "its size 40000 x 3 is outside 1 .. 32767 a side"},
      {raw_png(5000, 2000, 8, 2, 1, ""), "the PNG data are cut short"},  // 28 MiB whole: accepted
      {raw_png(5000, 3000, 8, 6, 1, ""),
       "interlaced PNG images come whole, not row by row, and this one needs 57 MiB (at most 32)"},
      {tiff.substr(0, tiff.size() / 2), "the TIFF data are damaged: Can not read TIFF directory count"},
      {with_byte(tiff, 20, 'x'), "the TIFF data are damaged: "},
      {read_file(scratch_path("cmyk.tif")), "CMYK TIFF images are not supported"},
      {read_file(scratch_path("planes.tif")), "TIFF images stored plane by plane are not supported"},
      {jpeg.substr(0, jpeg.size() / 2), "the JPEG data are damaged: Premature end of JPEG file"},
      {jpeg_sized(jpeg, 33000, 70), "its size 33000 x 70 is outside 1 .. 32767 a side"},
      {jpeg_bytes(Samples::textured(16, 16, 4, 8), 90), "CMYK JPEG images are not supported"},
      {jpeg_sized(jpeg_bytes(rgb, 90, true), 8000, 8000),
       "progressive JPEG images are decoded whole, not row by row, and this one needs 183 MiB (at most 32)"},
  };
  for (const auto& c : cases) {
    write_file(scratch_path("in"), c.bytes);
    RunResult r = run_tool({"-ir", "in", "out.r64"});
    EXPECT_EQ(r.status, 1) << c.reason;
    EXPECT_TRUE(r.err.starts_with(prefix + c.reason) && r.err.ends_with("\n") && r.err.find('\n') == r.err.size() - 1)
        << r.err;
    EXPECT_EQ(file_size(scratch_path("out.r64")), -1) << c.reason;
  }
  EXPECT_EQ(leftover_temporaries(), 0);
}

// An interlaced PNG small enough to be decoded whole converts like any other.
TEST(ImageInput, SmallInterlacedPngIsDecodedWhole) {
  Samples s = Samples::textured(37, 21, 3, 8);
  write_file(scratch_path("in.png"), raw_png(37, 21, 8, 2, 1, adam7_rows(s)));
  expect_same_r64("in.png", ppm_of(s), "interlaced");
}

TEST(ImageInput, SizesR64CannotHoldAndOutputsThatAreTheInputAreRefused) {
  write_file(scratch_path("in.png"), png_bytes(Samples::textured(2, 50, 3, 8)));
  RunResult r = run_tool({"-ir", "in.png", "out.r64"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("unsupported image size 2x50\n")));
  write_file(scratch_path("in.png"), png_bytes(Samples::textured(20, 20, 3, 8)));
  r = run_tool({"-ir", "in.png", "in.png"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("the output \"in.png\" is the same file as the input \"in.png\"\n")));
  r = run_tool({"-ir", "in.png"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("too few argments for -ir\n")));
  r = run_tool({"-ir", "missing.png", "out.r64"});
  EXPECT_EQ(std::pair(r.status, r.err),
            std::pair(1, std::string("cannot convert the image \"missing.png\": cannot open it: No such file or directory\n")));
  EXPECT_EQ(file_size(scratch_path("out.r64")), -1);
}

}  // namespace
