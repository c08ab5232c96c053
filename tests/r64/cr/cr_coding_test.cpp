// The codings of the CR writer: whatever the quality, the efficient blocks or a PSNR target, every
// block is one a reader decodes, and every level rebuilds by the reconstruction rule, computed here
// independently, to exactly the pixels the writer predicted from and the library rebuilds; a
// target is met by every rectangle, as measured here.
#include <cmath>

#include "r64/cr/cr_files.hpp"

using namespace cr_test;
using test_support::textured;

namespace {

struct CrCodingTest : CrTest {};

// Flat fields with hard edges and a thin line: what a map holds, and what JPEG codes worst.
Image fields_and_edges(int w, int h) {
  return Image::of(w, h, [](int x, int y, uint8_t* px) {
    const bool line = (x + 2 * y) % 97 < 2;
    const uint8_t field = x < 120 ? 30 : (y < 90 ? 200 : 120);
    px[0] = line ? 255 : field;
    px[1] = line ? 0 : static_cast<uint8_t>(field / 2 + (x > 300 ? 60 : 0));
    px[2] = line ? 40 : static_cast<uint8_t>(255 - field);
  });
}

CR_CODING coding(int quality, bool efficient, double target = 0) {
  CR_CODING c = cr_classic_coding();
  c.quality = quality;
  c.efficient = efficient;
  c.target_psnr = target;
  return c;
}

std::vector<Image> rebuilt_by_library(const std::string& cr_path) {
  CR_FILE* f = cr_open_file(cr_path.c_str(), O_RDONLY, 0, 0, 0, 0);
  CR_REBUILDER* rb = cr_rebuild_open(f);
  std::vector<Image> levels;
  for (int k = 0; cr_check_level(f, k); ++k) {
    Image& level = levels.emplace_back(f->level_w[k], f->level_h[k]);
    EXPECT_EQ(cr_rebuild_region(level.rgb.data(), rb, 0, 0, level.w, level.h, k), 0) << "level " << k;
  }
  cr_rebuild_close(rb);
  cr_close_file(f);
  return levels;
}

// The lowest PSNR of any rectangle of any level of `rebuilt` against `source`, and how many are
// below `target`.
std::pair<double, int> rectangles_psnr(const std::vector<Image>& rebuilt, const std::vector<Image>& source, int side,
                                       double target = 0) {
  double worst = INFINITY;
  int below = 0;
  for (size_t k = 0; k < rebuilt.size(); ++k)
    for (int y0 = 0; y0 < rebuilt[k].h; y0 += side)
      for (int x0 = 0; x0 < rebuilt[k].w; x0 += side) {
        double error = 0, samples = 0;
        for (int y = y0; y < std::min(y0 + side, rebuilt[k].h); ++y)
          for (int x = x0; x < std::min(x0 + side, rebuilt[k].w); ++x)
            for (int c = 0; c < 3; ++c, ++samples) error += std::pow(rebuilt[k].at(x, y)[c] - source[k].at(x, y)[c], 2);
        const double psnr = error > 0 ? 10 * std::log10(65025.0 * samples / error) : INFINITY;
        worst = std::min(worst, psnr);
        below += psnr < target;
      }
  return {worst, below};
}

TEST_F(CrCodingTest, EveryCodingRebuildsExactlyByTheRule) {
  const struct { const char* name; CR_CODING coding; } codings[] = {
      {"standard, quality 5", coding(5, false)},      {"standard, quality 100", coding(100, false)},
      {"efficient, quality 5", coding(5, true)},      {"efficient, quality 80", coding(80, true)},
      {"efficient, quality 100", coding(100, true)},  {"efficient to 36 dB", coding(80, true, 36)},
      {"standard to 30 dB", coding(80, false, 30)},   {"efficient to 58 dB", coding(80, true, 58)}};
  const struct { Image image; int rect; } images[] = {{textured(300, 200), 64}, {fields_and_edges(420, 290), 256}};
  for (const auto& [name, chosen] : codings)
    for (const auto& [image, rect] : images) {
      SCOPED_TRACE(std::string(name) + ", " + std::to_string(image.w) + "x" + std::to_string(image.h));
      const Packed p = pack(image, rect, 'P', true, &chosen);
      ASSERT_EQ(p.result, 0);
      std::vector<Image> by_rule;
      rebuild_and_check(p.cr, p.levels, by_rule, BlockRules{false, chosen.target_psnr > 0});
      const std::vector<Image> rebuilt = rebuilt_by_library(p.cr_path);
      ASSERT_EQ(rebuilt.size(), by_rule.size());
      for (size_t k = 0; k < rebuilt.size(); ++k) EXPECT_TRUE(rebuilt[k].rgb == by_rule[k].rgb) << "level " << k;
      if (chosen.target_psnr > 0) {
        // Beyond what JPEG reaches, plain blocks come nearest, and are exact but where residuals
        // leave the coded band: the rectangles they cannot bring to the target are reported.
        const auto [worst, below] = rectangles_psnr(by_rule, p.levels, rect, chosen.target_psnr);
        EXPECT_EQ(cr_target_report().missed, below);
        EXPECT_DOUBLE_EQ(cr_target_report().worst_psnr, worst);
        if (chosen.target_psnr < 40) {
          EXPECT_EQ(below, 0);
        }
      }
    }
}

// The classic coding is that of cr_write_file, byte for byte.
TEST_F(CrCodingTest, ClassicCodingIsThePlainWriter) {
  const CR_CODING classic = cr_classic_coding();
  const Packed plain = pack(textured(300, 200), 64);
  const Packed with = pack(textured(300, 200), 64, 'P', true, &classic);
  EXPECT_TRUE(plain.cr == with.cr);
}

// Quality trades bytes for error, in both codings; at the same quality the efficient blocks take
// fewer bytes for no more error, on a photo-like image (on noise, which 4:2:0 halves, they keep
// more of it in more bytes).
TEST_F(CrCodingTest, QualityTradesBytesForErrorAndEfficientBlocksAreSmaller) {
  const std::string pixels = test_support::photo_pixels(512, 512);
  const Image image = Image::of(512, 512, [&](int x, int y, uint8_t* px) {
    std::copy_n(&pixels[3 * (static_cast<size_t>(y) * 512 + x)], 3, px);
  });
  auto bytes_and_psnr = [&](const CR_CODING& c) {
    const Packed p = pack(image, 256, 'P', true, &c);
    const std::vector<Image> rebuilt = rebuilt_by_library(p.cr_path);
    return std::pair(p.cr.size(), rectangles_psnr({rebuilt[0]}, {p.levels[0]}, 1 << 15).first);
  };
  const auto [low_bytes, low_psnr] = bytes_and_psnr(coding(30, false));
  const auto [high_bytes, high_psnr] = bytes_and_psnr(coding(90, false));
  EXPECT_LT(low_bytes, high_bytes);
  EXPECT_LT(low_psnr, high_psnr);
  const auto [classic_bytes, classic_psnr] = bytes_and_psnr(coding(80, false));
  const auto [efficient_bytes, efficient_psnr] = bytes_and_psnr(coding(80, true));
  EXPECT_LT(efficient_bytes, classic_bytes);
  EXPECT_GT(efficient_psnr, classic_psnr - 0.5);
}

}  // namespace
