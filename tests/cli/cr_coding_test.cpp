// The coding options of "-cr" end to end: without them (or with their defaults) the CR file is the
// classic one, byte for byte; a PSNR target is met by every rectangle of the bundled photos and of
// a map-like image, as "cr2ppm -psnr" reports it; the files are the same whatever the threads.
#include <gtest/gtest.h>

#include <regex>

#include "support/support.hpp"

using namespace test_support;

namespace {

uint64_t fnv1a(const std::string& bytes) {
  uint64_t hash = 14695981039346656037u;
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  return hash;
}

// The worst rectangle's PSNR over every level "cr2ppm -psnr" reports.
double worst_rectangle(const std::string& cr, const std::string& r64) {
  RunResult r = run_cr2ppm({"-psnr", cr, r64});
  EXPECT_EQ(r.status, 0) << r.err;
  double worst = 1e9;
  const std::regex line("worst rectangle ([0-9.]+|inf) dB");
  for (std::sregex_iterator m(r.out.begin(), r.out.end(), line), end; m != end; ++m)
    if ((*m)[1] != "inf") worst = std::min(worst, std::stod((*m)[1]));
  return worst;
}

TEST(CrCoding, DefaultsWriteTheClassicFileByteForByte) {
  const struct { const char* rect; long size; uint64_t hash; } classic[] = {
      {"64", 130387, 0xc908b2920640c124u}, {"256", 70893, 0xaf906fecbcfddc28u}};
  for (const auto& [rect, size, hash] : classic) {
    ASSERT_EQ(run_tool({"-pr", sample_path("coffee.ppm"), "c.r64", "-l", "-crsize", rect, "-cr", "a.cr"}).status, 0);
    RunResult defaults = run_tool({"-t", "c.r64", "-crsize", rect, "-crquality", "80", "-crmode", "standard",
                                   "-crpsnr", "0", "-cr", "b.cr"});
    ASSERT_EQ(defaults.status, 0) << defaults.err;
    const std::string a = read_file(scratch_path("a.cr"));
    EXPECT_EQ(std::pair(static_cast<long>(a.size()), fnv1a(a)), std::pair(size, hash)) << "rectangles of " << rect;
    EXPECT_TRUE(a == read_file(scratch_path("b.cr")));
  }
}

// A map-like image: flat fields with hard edges, thin lines and a little noise.
void write_map_ppm(const std::string& name, int w, int h) {
  std::string pixels;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool road = (x + 3 * y) % 151 < 3 || (2 * x - y + 4000) % 233 < 2;
      const int field = (x / 90 + y / 70) % 3;
      const int noise = (x * 7 + y * 13) % 5 - 2;
      const int r = road ? 250 : 60 + 70 * field + noise, g = road ? 200 : 140 - 30 * field + noise, b = road ? 40 : 90 + noise;
      pixels += {static_cast<char>(r), static_cast<char>(g), static_cast<char>(b)};
    }
  write_file(scratch_path(name), ppm_bytes("P6", w, h, 255, pixels));
}

TEST(CrCoding, EveryRectangleMeetsThePsnrTarget) {
  write_map_ppm("map.ppm", 700, 500);
  const std::string images[] = {sample_path("coffee.ppm"), sample_path("camera.pgm"), sample_path("hubble.ppm"),
                                scratch_path("map.ppm")};
  for (const std::string& image : images)
    for (const char* mode : {"efficient", "standard"}) {
      SCOPED_TRACE(image + ", " + mode);
      RunResult r = run_tool({"-pr", image, "t.r64", "-l", "-crmode", mode, "-crpsnr", "38", "-crsize", "128", "-cr", "t.cr"});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.out.find("every rectangle reaches 38 dB against its source"), std::string::npos);
      EXPECT_GE(worst_rectangle(scratch_path("t.cr"), scratch_path("t.r64")), 38);
    }
}

TEST(CrCoding, FilesAreTheSameWhateverTheThreads) {
  write_photo_ppm("p.ppm", 1100, 700);
  ASSERT_EQ(run_tool({"-pr", "p.ppm", "p.r64", "-l"}).status, 0);
  const std::vector<std::vector<std::string>> codings = {
      {"-crmode", "efficient"}, {"-crmode", "efficient", "-crquality", "35"}, {"-crmode", "efficient", "-crpsnr", "33"}};
  for (const auto& coding : codings) {
    std::vector<std::string> one = {"-threads", "1", "-t", "p.r64"}, two = {"-threads", "2", "-t", "p.r64"};
    for (auto* args : {&one, &two}) args->insert(args->end(), coding.begin(), coding.end());
    one.insert(one.end(), {"-crsize", "64", "-cr", "one.cr"});
    two.insert(two.end(), {"-crsize", "64", "-cr", "two.cr"});
    ASSERT_EQ(run_tool(one).status, 0);
    ASSERT_EQ(run_tool(two).status, 0);
    EXPECT_TRUE(read_file(scratch_path("one.cr")) == read_file(scratch_path("two.cr"))) << coding.back();
  }
}

}  // namespace
