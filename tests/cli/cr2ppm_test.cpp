// cr2ppm end to end: photos packed by ppm2r64 come back from "-x" within JPEG error and exactly as
// the reconstruction rule rebuilds them; "-xr" cuts clipped regions; "-info" and "-psnr" report;
// damaged files and bad arguments end with one message, and no output is ever left half written.
#include <cmath>
#include <cstdio>
#include <tuple>
#include <cstring>
#include <regex>

#include "r64/cr/cr_files.hpp"  // with the test support

using namespace test_support;

namespace {

using Cr2ppm = cr_test::CrTest;

// Packs a photo with the given rectangle size, and the coding options given, into p.r64 and p.cr
// of the scratch folder.
void pack_photo(const std::string& photo, int rect, const std::vector<std::string>& coding = {}) {
  std::vector<std::string> args = {"-pr", photo, "p.r64", "-l", "-crsize", std::to_string(rect)};
  args.insert(args.end(), coding.begin(), coding.end());
  args.insert(args.end(), {"-cr", "p.cr"});
  RunResult job = run_tool(args);
  ASSERT_EQ(std::pair(job.status, job.err), std::pair(0, std::string()));
  EXPECT_NE(job.out.find("\nmake compressed rectangle (CR)\n"), std::string::npos);
  EXPECT_EQ(cr_test::be(read_file(scratch_path("p.cr")), 8, 2), static_cast<uint32_t>(rect)) << "the rectangle size";
}

// The pixels of a P6 image with maximum 255 (empty if the header is not "P6\n<w> <h>\n255\n").
Image read_p6(const std::string& path) {
  const std::string bytes = read_file(path);
  // One whitespace byte ends the header: a whitespace in a scanf format would swallow pixels too.
  int w = 0, h = 0, max = 0, header = 0;
  if (std::sscanf(bytes.c_str(), "P6\n%d %d\n%d%n", &w, &h, &max, &header) != 3 || max != 255) return Image(0, 0);
  ++header;
  Image image(w, h);  // pixels that are too few or too many make the image unlike any other
  image.rgb.assign(bytes.begin() + header, bytes.end());
  return image;
}

double psnr(const Image& a, const Image& b) {
  double sum = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) sum += std::pow(a.rgb[i] - b.rgb[i], 2);
  return sum == 0 ? 99 : 10 * std::log10(65025.0 * static_cast<double>(a.rgb.size()) / sum);
}

// What the reconstruction rule gives for every level of p.cr, rebuilt independently of the tool.
std::vector<Image> rebuilt_by_rule(const cr_test::BlockRules& rules = {}) {
  R64_FILE* f = r64_open_file(scratch_path("p.r64").c_str(), O_RDONLY, 0644, 'P', 0, 0);
  const std::vector<Image> source = read_levels(f);
  r64_close_file(f);
  std::vector<Image> out;
  cr_test::rebuild_and_check(read_file(scratch_path("p.cr")), source, out, rules);
  out.push_back(source[0]);  // the original level 0 last
  return out;
}

TEST_F(Cr2ppm, PhotosComeBackAsTheRuleRebuildsThem) {
  for (const char* photo : {"coffee.ppm", "camera.pgm"})
    for (int rect : {64, 128, 256}) {
      SCOPED_TRACE(std::string(photo) + " in rectangles of " + std::to_string(rect));
      pack_photo(sample_path(photo), rect);
      RunResult x = run_cr2ppm({"-x", "p.cr", "0", "back.ppm", "-x", "p.cr", "2", "l2.ppm"});
      ASSERT_EQ(x.status, 0) << x.err;
      EXPECT_EQ(x.err, "");
      const std::vector<Image> rule = rebuilt_by_rule();
      const Image back = read_p6(scratch_path("back.ppm"));
      EXPECT_TRUE(back.rgb == rule[0].rgb);
      EXPECT_TRUE(read_p6(scratch_path("l2.ppm")).rgb == rule[2].rgb);
      EXPECT_GE(psnr(back, rule.back()), 26.0);
      if (rect != 64) continue;
      for (const char* threads : {"1", "3"}) {
        ASSERT_EQ(run_cr2ppm({"-threads", threads, "-x", "p.cr", "0", "t.ppm"}).status, 0);
        EXPECT_EQ(read_file(scratch_path("t.ppm")), read_file(scratch_path("back.ppm"))) << threads << " threads";
      }
    }
}

// Files of the other codings come back as the rule rebuilds them too.
TEST_F(Cr2ppm, EveryCodingComesBackAsTheRuleRebuildsIt) {
  const std::vector<std::vector<std::string>> codings = {
      {"-crmode", "efficient"}, {"-crmode", "efficient", "-crquality", "97"}, {"-crquality", "15"},
      {"-crmode", "efficient", "-crpsnr", "40"}};
  for (const auto& coding : codings) {
    SCOPED_TRACE(coding.back());
    pack_photo(sample_path("hubble.ppm"), 128, coding);
    ASSERT_EQ(run_cr2ppm({"-x", "p.cr", "0", "back.ppm", "-x", "p.cr", "1", "l1.ppm"}).status, 0);
    const std::vector<Image> rule = rebuilt_by_rule(cr_test::BlockRules{false, coding.back() == "40"});
    EXPECT_TRUE(read_p6(scratch_path("back.ppm")).rgb == rule[0].rgb);
    EXPECT_TRUE(read_p6(scratch_path("l1.ppm")).rgb == rule[1].rgb);
  }
}

TEST_F(Cr2ppm, RegionsAreClippedToTheLevel) {
  pack_photo(sample_path("coffee.ppm"), 128);
  ASSERT_EQ(run_cr2ppm({"-xr", "p.cr", "1", "-20", "150", "100", "500", "r.ppm"}).status, 0);
  const Image whole = rebuilt_by_rule()[1], region = read_p6(scratch_path("r.ppm"));
  ASSERT_EQ(std::pair(region.w, region.h), std::pair(80, 50));  // x 0..80, y 150..200 of 300 x 200
  for (int y = 0; y < region.h; ++y) EXPECT_EQ(0, std::memcmp(region.at(0, y), whole.at(0, 150 + y), 3 * 80)) << y;

  RunResult outside = run_cr2ppm({"-xr", "p.cr", "1", "300", "0", "10", "10", "o.ppm"});
  EXPECT_EQ(std::pair(outside.status, outside.err), std::pair(1, std::string("the region 10 x 10 at (300, 0) lies outside level 1 (300 x 200)\n")));
  EXPECT_EQ(file_size(scratch_path("o.ppm")), -1);
}

TEST_F(Cr2ppm, InfoAndPsnrReportEveryLevel) {
  pack_photo(sample_path("coffee.ppm"), 256);
  RunResult info = run_cr2ppm({"-info", "p.cr"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out.substr(0, info.out.find('\n')), "p.cr: 600 x 400 pixels, rectangles of 256, 14 table entries");
  EXPECT_NE(info.out.find("\nlevel 0: 600 x 400, 6 of 6 rectangles, "), std::string::npos);
  EXPECT_TRUE(std::regex_search(info.out, std::regex("\nlevel 4: 38 x 25, 1 of 1 rectangles, [0-9]+ bytes, 1 j, 0 n\n"
                                                     "level 5: 19 x 13, 1 of 1 rectangles, 743 bytes, 0 j, 1 n\n")));
  EXPECT_NE(info.out.find("\nlevel 7: 5 x 4, 1 of 1 rectangles, 62 bytes, 0 j, 1 n\n"), std::string::npos);

  RunResult quality = run_cr2ppm({"-psnr", "p.cr", "p.r64"});
  ASSERT_EQ(quality.status, 0) << quality.err;
  const std::regex line("level ([0-9]): [0-9]+ x [0-9]+, PSNR ([0-9.]+|inf) dB, worst rectangle ([0-9.]+|inf) dB at \\(([0-9]+), ([0-9]+)\\)\n");
  int levels = 0;
  for (auto it = std::sregex_iterator(quality.out.begin(), quality.out.end(), line); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ((*it)[1], std::to_string(levels++));
    EXPECT_TRUE((*it)[2] == "inf" || std::stod((*it)[2]) >= 26.0) << (*it)[0];
  }
  EXPECT_EQ(levels, 8);
  EXPECT_NE(quality.out.find("level 7: 5 x 4, PSNR inf dB, worst rectangle inf dB at (0, 0)\n"), std::string::npos);
}

// The PSNR of `samples` with this squared error, as "-psnr" defines it: infinite for no error.
double psnr_of(double squared_error, double samples) {
  return squared_error == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 * samples / squared_error);
}

// The report of "-psnr" computed here from the levels the rule rebuilds and the R64 file's: per
// level, the PSNR over all its samples and that of its worst rectangle (the first in row order).
std::string expected_psnr_report(int rect) {
  R64_FILE* f = r64_open_file(scratch_path("p.r64").c_str(), O_RDONLY, 0644, 'P', 0, 0);
  const std::vector<Image> source = read_levels(f);
  r64_close_file(f);
  const std::vector<Image> rebuilt = rebuilt_by_rule(cr_test::BlockRules{false, false});  // blocks of any quality
  std::string report = "PSNR of \"p.cr\" against \"p.r64\"\n";
  for (size_t k = 0; k < source.size(); ++k) {
    const Image &a = source[k], &b = rebuilt[k];
    double total = 0, worst = INFINITY;
    int worst_x = 0, worst_y = 0;
    for (int y0 = 0; y0 < a.h; y0 += rect)
      for (int x0 = 0; x0 < a.w; x0 += rect) {
        const int w = std::min(rect, a.w - x0), h = std::min(rect, a.h - y0);
        double error = 0;
        for (int y = y0; y < y0 + h; ++y)
          for (int x = x0; x < x0 + w; ++x)
            for (int c = 0; c < 3; ++c) error += std::pow(a.at(x, y)[c] - b.at(x, y)[c], 2);
        total += error;
        if (psnr_of(error, 3.0 * w * h) < worst) std::tie(worst, worst_x, worst_y) = std::tuple(psnr_of(error, 3.0 * w * h), x0, y0);
      }
    char line[200];
    std::snprintf(line, sizeof line, "level %zu: %i x %i, PSNR %.2f dB, worst rectangle %.2f dB at (%i, %i)\n", k, a.w, a.h,
                  psnr_of(total, 3.0 * a.w * a.h), worst, worst_x, worst_y);
    report += line;
  }
  return report;
}

// "-psnr" reports exactly what the rebuilt levels and the R64 file give, the worst rectangle's PSNR
// over its own samples.
TEST_F(Cr2ppm, PsnrReportsEveryLevelAndItsWorstRectangleExactly) {
  write_photo_ppm("photo.ppm", 300, 200);
  pack_photo("photo.ppm", 64, {"-crquality", "30"});
  RunResult quality = run_cr2ppm({"-psnr", "p.cr", "p.r64"});
  ASSERT_EQ(quality.status, 0) << quality.err;
  EXPECT_EQ(quality.out, expected_psnr_report(64));
}

// Files cut short or with bits flipped in the table and in the blocks: either the picture comes
// back whole, or one message and exit status 1; never a crash, and never a partial output.
TEST_F(Cr2ppm, DamagedFilesFailCleanly) {
  pack_photo(sample_path("coffee.ppm"), 64);
  const std::string good = read_file(scratch_path("p.cr"));
  std::vector<std::string> damaged;
  for (size_t cut : {size_t{0}, size_t{10}, size_t{100}, good.size() / 3, good.size() - 1}) damaged.push_back(good.substr(0, cut));
  for (size_t at = 16; at < good.size(); at += good.size() / 40) {
    damaged.push_back(good);
    damaged.back()[at] ^= static_cast<char>(1 << (at % 8));
  }
  for (size_t i = 0; i < damaged.size(); ++i) {
    write_file(scratch_path("d.cr"), damaged[i]);
    write_file(scratch_path("o.ppm"), "old");
    RunResult r = run_cr2ppm({"-x", "d.cr", "0", "o.ppm"});
    ASSERT_TRUE(r.status == 0 || r.status == 1) << i << ": " << r.status;
    if (r.status == 0) {
      EXPECT_EQ(read_p6(scratch_path("o.ppm")).rgb.size(), 3u * 600 * 400) << i;
    } else {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << i << ": " << r.err;
      EXPECT_EQ(read_file(scratch_path("o.ppm")), "old") << i;
    }
  }
  EXPECT_EQ(leftover_temporaries(), 0);
}

TEST_F(Cr2ppm, RefusesBadArgumentsAndItsOwnInput) {
  pack_photo(sample_path("coffee.ppm"), 256);
  const std::string cr = read_file(scratch_path("p.cr"));
  struct Case { std::vector<std::string> args; std::string err; };
  const Case cases[] = {
      {{"-x", "p.cr", "0"}, "too few arguments for -x\n"},
      {{"-x", "p.cr", "one", "o.ppm"}, "invalid level \"one\"\n"},
      {{"-x", "p.cr", "8", "o.ppm"}, "level 8 does not exist in \"p.cr\" (levels 0 to 7)\n"},
      {{"-xr", "p.cr", "0", "0", "0", "0", "5", "o.ppm"}, "invalid region size 0 x 5\n"},
      {{"-info", "missing.cr"}, "cannot open the CR file \"missing.cr\": No such file or directory\n"},
      {{"-info", "p.r64"}, "\"p.r64\" is not a CR file\n"},
      {{"-x", "p.cr", "0", "p.cr"}, "the output \"p.cr\" is the CR file being read\n"},
      {{"-x", "p.cr", "0", "."}, "cannot write \".\": Invalid argument\n"},
      {{"-crsize", "64"}, "invalid command \"-crsize\"\n"},
      {{"-threads", "0"}, "invalid thread count \"0\"\n"},
      {{"-threads", "2x"}, "invalid thread count \"2x\"\n"},
  };
  for (const Case& c : cases) {
    RunResult r = run_cr2ppm(c.args);
    EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, c.err)) << c.args[0] << " " << c.args.back();
  }
  EXPECT_EQ(read_file(scratch_path("p.cr")), cr);
}

}  // namespace
