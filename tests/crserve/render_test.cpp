// IIIF images at level 2, decoded from their PNG (lossless) and compared with the rebuilt levels
// transformed here by an independent computation: the level each size reads, area averages at odd
// ratios, smooth enlargements, every rotation and mirroring (as transposes and flips), grey and
// black and white; and the resampling weights themselves.
#include <gtest/gtest.h>
#include <spng.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crserve/render.hpp"
#include "crserve/served.hpp"
#include <jpeglib.h>
#include "r64/cr/cr_files.hpp"

using namespace crserve;
using namespace crserve_test;
using namespace test_support;

namespace {

// An image of 3 bytes a pixel from a PNG body (grey samples spread to three); 0 x 0 when it is not one.
Image png_image(const Reply& reply) {
  if (!reply.body) return Image(0, 0);
  spng_ctx* ctx = spng_ctx_new(0);
  spng_set_png_buffer(ctx, reply.body->data(), reply.body->size());
  spng_ihdr ihdr{};
  size_t size = 0;
  if (spng_get_ihdr(ctx, &ihdr) != 0 || spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size) != 0) {
    spng_ctx_free(ctx);
    return Image(0, 0);
  }
  Image image(static_cast<int>(ihdr.width), static_cast<int>(ihdr.height));
  int status = spng_decode_image(ctx, image.rgb.data(), image.rgb.size(), SPNG_FMT_RGB8, 0);
  spng_ctx_free(ctx);
  return status == 0 ? image : Image(0, 0);
}

// A JPEG body decoded by libjpeg, grey or colour, as 3 bytes a pixel; 0 x 0 when it is not one.
Image jpeg_image(const Reply& reply) {
  struct Error {
    jpeg_error_mgr pub;
    std::jmp_buf resume;
  } err;
  jpeg_decompress_struct cinfo{};
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<Error*>(c->err)->resume, 1); };
  err.pub.output_message = [](j_common_ptr) {};
  std::vector<uint8_t> rgb;
  int w = 0, h = 0;
  if (setjmp(err.resume) == 0) {
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(reply.body->data()), reply.body->size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    w = static_cast<int>(cinfo.output_width), h = static_cast<int>(cinfo.output_height);
    rgb.resize(3 * static_cast<size_t>(w) * h);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = &rgb[3 * static_cast<size_t>(cinfo.output_scanline) * w];
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
  } else {
    w = h = 0;
  }
  jpeg_destroy_decompress(&cinfo);
  Image image(w, h);
  if (w > 0) image.rgb = rgb;
  return image;
}

Image transpose(const Image& in) {
  return Image::of(in.h, in.w, [&](int x, int y, uint8_t* px) { std::memcpy(px, in.at(y, x), 3); });
}
Image flip_across(const Image& in) {
  return Image::of(in.w, in.h, [&](int x, int y, uint8_t* px) { std::memcpy(px, in.at(in.w - 1 - x, y), 3); });
}
Image flip_down(const Image& in) {
  return Image::of(in.w, in.h, [&](int x, int y, uint8_t* px) { std::memcpy(px, in.at(x, in.h - 1 - y), 3); });
}

// Mirrored (left to right) when asked, then turned clockwise.
Image turned(Image in, bool mirror, int rotation) {
  if (mirror) in = flip_across(in);
  if (rotation == 90) return flip_across(transpose(in));
  if (rotation == 180) return flip_down(flip_across(in));
  if (rotation == 270) return flip_down(transpose(in));
  return in;
}

// Each output pixel the mean of the source area it covers, the edges' pixels counted by their share.
Image area_average(const Image& in, int out_w, int out_h) {
  double sx = static_cast<double>(in.w) / out_w, sy = static_cast<double>(in.h) / out_h;
  return Image::of(out_w, out_h, [&](int x, int y, uint8_t* px) {
    double sum[3] = {0, 0, 0}, area = 0;
    for (int j = static_cast<int>(y * sy); j < std::ceil((y + 1) * sy); ++j)
      for (int i = static_cast<int>(x * sx); i < std::ceil((x + 1) * sx); ++i) {
        double a = (std::min((x + 1) * sx, i + 1.0) - std::max(x * sx, 1.0 * i)) *
                   (std::min((y + 1) * sy, j + 1.0) - std::max(y * sy, 1.0 * j));
        if (a <= 0) continue;
        area += a;
        for (int c = 0; c < 3; ++c) sum[c] += a * in.at(i, j)[c];
      }
    for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>(std::lround(sum[c] / area));
  });
}

// Linear interpolation between the pixel centres, the edge pixels held beyond them.
Image enlarged(const Image& in, int out_w, int out_h) {
  auto sample = [&](double at, int size, int* j0, double* t) {
    double c = std::clamp(at, 0.0, size - 1.0);
    *j0 = std::min(static_cast<int>(c), size - 2 < 0 ? 0 : size - 2);
    *t = c - *j0;
  };
  return Image::of(out_w, out_h, [&](int x, int y, uint8_t* px) {
    int i, j;
    double tx, ty;
    sample((x + 0.5) * in.w / out_w - 0.5, in.w, &i, &tx);
    sample((y + 0.5) * in.h / out_h - 0.5, in.h, &j, &ty);
    for (int c = 0; c < 3; ++c) {
      double top = in.at(i, j)[c] * (1 - tx) + in.at(i + 1, j)[c] * tx;
      double bottom = in.at(i, j + 1)[c] * (1 - tx) + in.at(i + 1, j + 1)[c] * tx;
      px[c] = static_cast<uint8_t>(std::lround(top * (1 - ty) + bottom * ty));
    }
  });
}

double luma_of(const uint8_t* px) { return 0.299 * px[0] + 0.587 * px[1] + 0.114 * px[2]; }

int largest_difference(const Image& a, const Image& b) {
  int worst = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) worst = std::max(worst, std::abs(a.rgb[i] - b.rgb[i]));
  return worst;
}

struct RenderTest : cr_test::CrTest {
  // The coffee photo (600 x 400) in rectangles of 64: levels 0 to 7.
  void SetUp() override {
    CrTest::SetUp();
    ASSERT_EQ(run_tool({"-pr", sample_path("coffee.ppm"), "p.r64", "-l", "-crsize", "64", "-cr", "p.cr"}).status, 0);
    served = std::make_unique<Served>(scratch_path("p.cr"), 0);
  }
  Image rebuilt(int level, int x, int y, int w, int h) { return rebuilt_region(scratch_path("p.cr"), level, x, y, w, h); }
  Image png(const std::string& path) {
    Reply reply = served->get(path);
    EXPECT_EQ(reply.status, 200) << path;
    EXPECT_EQ(reply.content_type, "image/png") << path;
    return png_image(reply);
  }
  std::unique_ptr<Served> served;
};

// The level read is the coarsest at least as large as the output: asked for the size of a level,
// the image is that level's pixels exactly, not a finer level shrunk.
TEST_F(RenderTest, SizesOfALevelAreThatLevelExactly) {
  struct Case {
    const char* path;
    int level, x, y, w, h;
  };
  for (Case c : {Case{"/iiif/37,61,200,130/max/0/default.png", 0, 37, 61, 200, 130},
                 Case{"/iiif/full/300,/0/default.png", 1, 0, 0, 300, 200},
                 Case{"/iiif/0,0,300,200/,50/0/color.png", 2, 0, 0, 75, 50},
                 Case{"/iiif/full/5,4/0/default.png", 7, 0, 0, 5, 4},
                 Case{"/iiif/128,64,256,128/pct:50/0/default.png", 1, 64, 32, 128, 64}}) {
    Image image = png(c.path);
    Image level = rebuilt(c.level, c.x, c.y, c.w, c.h);
    ASSERT_EQ(std::pair(image.w, image.h), std::pair(level.w, level.h)) << c.path;
    EXPECT_TRUE(image.rgb == level.rgb) << c.path << ": differs by up to " << largest_difference(image, level);
  }
}

TEST_F(RenderTest, OddRatiosAreAreaAveragesAndEnlargementsSmooth) {
  // 90 x 60 of level 0 to 30 x 20: level 1 (45 x 30) read, shrunk by 1.5.
  Image shrunk = png("/iiif/0,0,90,60/30,20/0/default.png");
  EXPECT_LE(largest_difference(shrunk, area_average(rebuilt(1, 0, 0, 45, 30), 30, 20)), 1);
  // The whole photo to 77 x 13 (distorted): level 2 (150 x 100) read, shrunk by 1.95 and 7.7.
  Image odd = png("/iiif/0,0,1000,500/77,13/0/default.png");
  ASSERT_EQ(std::pair(odd.w, odd.h), std::pair(77, 13));
  EXPECT_LE(largest_difference(odd, area_average(rebuilt(2, 0, 0, 150, 100), 77, 13)), 1);
  Image enlarged_image = png("/iiif/100,100,50,40/^175,140/0/default.png");
  Image source = rebuilt(0, 100, 100, 50, 40);
  EXPECT_LE(largest_difference(enlarged_image, enlarged(source, 175, 140)), 1);
  Image blocks = Image::of(175, 140, [&](int x, int y, uint8_t* px) { std::memcpy(px, source.at(x * 50 / 175, y * 40 / 140), 3); });
  EXPECT_GT(largest_difference(enlarged_image, blocks), 8) << "not the nearest pixel's blocks";
}

TEST_F(RenderTest, EveryRotationAndMirroring) {
  Image region = rebuilt(0, 37, 61, 200, 130);
  for (bool mirror : {false, true})
    for (int rotation : {0, 90, 180, 270}) {
      std::string path = "/iiif/37,61,200,130/max/" + std::string(mirror ? "!" : "") + std::to_string(rotation) + "/default.png";
      Image image = png(path);
      Image expected = turned(region, mirror, rotation);
      ASSERT_EQ(std::pair(image.w, image.h), std::pair(expected.w, expected.h)) << path;
      EXPECT_TRUE(image.rgb == expected.rgb) << path;
    }
  // Scaled and turned: the size is of the region before turning.
  Image small = png("/iiif/full/150,/90/default.png");
  EXPECT_EQ(std::pair(small.w, small.h), std::pair(100, 150));
  EXPECT_TRUE(small.rgb == turned(rebuilt(2, 0, 0, 150, 100), false, 90).rgb);
}

TEST_F(RenderTest, GreyIsLumaAndBitonalItsThreshold) {
  Image region = rebuilt(0, 37, 61, 200, 130);
  Image grey = png("/iiif/37,61,200,130/max/0/gray.png");
  Image bitonal = png("/iiif/37,61,200,130/max/!90/bitonal.png");
  ASSERT_EQ(std::pair(grey.w, grey.h), std::pair(200, 130));
  Image turned_region = turned(region, true, 90);
  int off = 0, near_threshold = 0;
  for (int y = 0; y < 130; ++y)
    for (int x = 0; x < 200; ++x) {
      double luma = luma_of(region.at(x, y));
      const uint8_t* g = grey.at(x, y);
      off += std::abs(g[0] - luma) > 0.5001 || g[0] != g[1] || g[0] != g[2];
    }
  for (int y = 0; y < bitonal.h; ++y)
    for (int x = 0; x < bitonal.w; ++x) {
      double luma = luma_of(turned_region.at(x, y));
      if (std::abs(luma - 127.5) < 1) {
        ++near_threshold;
        continue;
      }
      off += bitonal.at(x, y)[0] != (luma >= 128 ? 255 : 0);
    }
  EXPECT_EQ(off, 0);
  EXPECT_LT(near_threshold, 500);
}

TEST_F(RenderTest, JpegOfEveryQualityDecodes) {
  const char* paths[] = {"/iiif/0,0,480,320/240,/!180/default.jpg", "/iiif/0,0,480,320/240,/0/gray.jpg",
                         "/iiif/0,0,480,320/240,/270/bitonal.jpg"};
  for (const char* path : paths) {
    Reply reply = served->get(path);
    ASSERT_EQ(reply.status, 200) << path;
    EXPECT_EQ(reply.content_type, "image/jpeg");
    Image image = jpeg_image(reply);
    EXPECT_EQ(image.w * image.h, 240 * 160) << path;
  }
  Image colour = jpeg_image(served->get(paths[0]));
  Image expected = turned(rebuilt(1, 0, 0, 240, 160), true, 180);
  ASSERT_EQ(colour.rgb.size(), expected.rgb.size());
  double sum = 0;
  for (size_t i = 0; i < expected.rgb.size(); ++i) sum += std::abs(colour.rgb[i] - expected.rgb[i]);
  EXPECT_LT(sum / static_cast<double>(expected.rgb.size()), 4) << "within JPEG's error";
}

TEST(AxisWeights, EachOutputPixelSumsToOneOverItsSpan) {
  struct Case {
    double start, length;
    int size, out;
  };
  for (Case c : {Case{0, 600, 600, 600}, Case{0, 600, 600, 7}, Case{0.5, 45, 300, 30}, Case{0, 3, 3, 1000},
                 Case{10, 1, 300, 97}, Case{299.5, 0.5, 300, 1}}) {
    AxisWeights a = axis_weights(c.start, c.length, c.size, c.out);
    ASSERT_EQ(a.size(), c.out);
    for (int i = 0; i < c.out; ++i) {
      double sum = 0;
      for (int k = 0; k < a.count[i]; ++k) sum += a.weights[static_cast<size_t>(a.offset[i] + k)];
      EXPECT_NEAR(sum, 1.0, 1e-5) << i;
      EXPECT_GE(a.first[i], 0);
      EXPECT_LE(a.first[i] + a.count[i], c.size);
      if (i > 0) {
        EXPECT_GE(a.first[i], a.first[i - 1]);
      }
    }
  }
  AxisWeights same = axis_weights(0, 600, 600, 600);
  EXPECT_EQ(same.weights, std::vector<float>(600, 1.0f)) << "the same size copies";
  AxisWeights half = axis_weights(0, 4, 4, 2);
  EXPECT_EQ(half.weights, std::vector<float>(4, 0.5f));
}

TEST(SourceLevel, TheCoarsestAtLeastAsLargeAsTheOutput) {
  Pyramid p{16384, 16384, 256, 12, 14};
  auto level = [&](int x, int y, int w, int h, int out_w, int out_h) {
    ImageRequest r;
    r.x = x, r.y = y, r.w = w, r.h = h, r.out_w = out_w, r.out_h = out_h;
    return source_level(p, r);
  };
  EXPECT_EQ(level(0, 0, 16384, 16384, 4096, 4096), 2);
  EXPECT_EQ(level(0, 0, 16384, 16384, 4097, 4096), 1);
  EXPECT_EQ(level(0, 0, 16384, 16384, 16384, 1), 0);
  EXPECT_EQ(level(0, 0, 16384, 16384, 1, 1), 12) << "no coarser than the file's coarsest";
  EXPECT_EQ(level(0, 0, 300, 300, 600, 600), 0) << "enlarged from the full size";
  Pyramid odd{600, 400, 64, 7, 10};  // level 7 is 5 x 4, though 600 / 128 is 4.7
  ImageRequest full;
  full.w = 600, full.h = 400, full.out_w = 5, full.out_h = 4;
  EXPECT_EQ(source_level(odd, full), 7);
  Span edge = level_span(500, 100, 600, 5, 7);
  EXPECT_DOUBLE_EQ(edge.start + edge.length, 5) << "a span to the far edge ends at the level's";
  Span inner = level_span(128, 256, 600, 5, 7);
  EXPECT_DOUBLE_EQ(inner.start, 1);
  EXPECT_DOUBLE_EQ(inner.length, 2);
}

}  // namespace
