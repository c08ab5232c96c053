// "-l" and "-lh" end to end: the levels they lay out, the counts they take, and the runs that fail.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "change_endian.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

const std::string kBanner = "make multi levels of details\nfrom level ";

// Converts a 300 x 200 photo-like image into "t.r64" in the scratch directory: levels 300 x 200
// (ending at byte 180008), 150 x 100 (225008), 75 x 50 (236258), 38 x 25 (239108), ... 5 x 4 (240119).
std::string converted() {
  write_photo_ppm("in.ppm", 300, 200);
  EXPECT_EQ(run_tool({"-pr", "in.ppm", "t.r64"}).status, 0);
  return scratch_path("t.r64");
}

// A count builds that many levels, each written out before the next is made from it; a later run
// goes on from the highest level present, "-lh" as "-l" (their pixels are tested with the library);
// on a complete file one more pass rebuilds nothing new while two run past the last level.
TEST(Levels, CountBuildsEachLevelFromTheOneBefore) {
  const std::string path = converted();
  const std::tuple<std::vector<std::string>, std::string, long, int> runs[] = {
      {{"-lh", "1"}, "0", 225008, 0}, {{"-l", "2"}, "1", 239108, 0},    {{"-lh"}, "3", 240119, 0},
      {{"-l", "1"}, "6", 240119, 0},  {{"-l", "2"}, "6", 240119, kR64NoLevel}};
  for (const auto& [args, from, size, error] : runs) {
    std::vector<std::string> all = {"-t", "t.r64"};
    all.insert(all.end(), args.begin(), args.end());
    RunResult result = run_tool(all);
    EXPECT_EQ(result.status, error ? 1 : 0) << result.err;
    EXPECT_TRUE(result.out.starts_with(kBanner + from + "\n")) << result.out;
    EXPECT_EQ(result.err, error ? "r64 error: " + std::to_string(error) +
                                      "\ncannot build the levels of \"t.r64\": it lays out no further level\n"
                                : "");
    EXPECT_EQ(file_size(path), size) << args.back();
  }
}

// A run cut short inside a level (a full disk, then space freed) is finished by the next run,
// which rebuilds that level: the file equals that of a run never interrupted.
TEST(Levels, ResumesALevelCutShort) {
  const std::string path = converted();
  ASSERT_EQ(run_tool({"-t", "t.r64", "-l"}).status, 0);
  const std::string whole = read_file(path);
  for (size_t cut : {size_t{8 + 180000 + 7000}, size_t{8 + 180000 + 45000 + 3333}, whole.size() - 1}) {
    write_file(path, whole.substr(0, cut));
    RunResult again = run_tool({"-t", "t.r64", "-l"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(path), whole) << "cut at " << cut;
  }
}

// A bit file's levels fill a byte per 8 pixels of the bytes they reserve: each is found once its
// tiles are written, so one run builds them all.
TEST(Levels, BuildsEveryLevelOfABitFile) {
  write_r64(scratch_path("b.r64"), 'B', Image::of(150, 100, [](int x, int y, uint8_t* px) { px[0] = (x / 3 + y / 5) % 2; }));
  RunResult result = run_tool({"-t", "b.r64", "-l"});
  ASSERT_EQ(result.status, 0) << result.err;
  R64_FILE* f = r64_open_file(scratch_path("b.r64").c_str(), O_RDONLY, 0644, 'P', 0, 0);
  EXPECT_EQ(read_levels(f).size(), 6u);  // 150 x 100 down to 5 x 4
  r64_close_file(f);
}

// The windowed-FFT filter's weights add up to 1 wherever blocks overlap, so an image of one colour
// keeps it at every level, across the whole width: a level wide enough to be filtered in several
// runs of blocks has no seam between them.
TEST(Levels, WindowedFilterKeepsAFlatImageFlat) {
  constexpr int kW = 1000, kH = 40;
  std::string pixels;
  for (int i = 0; i < kW * kH; ++i) pixels += "\x64\x25\xc8";
  write_file(scratch_path("flat.ppm"), ppm_bytes("P6", kW, kH, 255, pixels));
  ASSERT_EQ(run_tool({"-pr", "flat.ppm", "flat.r64", "-lh"}).status, 0);
  check_endian();
  r64_init();
  R64_FILE* f = r64_open_file(scratch_path("flat.r64").c_str(), O_RDONLY, 0644, 'P', 0, 0);
  ASSERT_NE(f, nullptr);
  const std::vector<Image> levels = read_levels(f);
  r64_close_file(f);
  EXPECT_EQ(levels.size(), 5u);  // down to 63 x 3
  for (size_t k = 1; k < levels.size(); ++k)
    for (int y = 0; y < levels[k].h; ++y)
      for (int x = 0; x < levels[k].w; ++x)
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(levels[k].at(x, y)), 3), "\x64\x25\xc8")
            << "level " << k << " at (" << x << ", " << y << ")";
}

// (A target that cannot grow: see the fault-injection sweep.)
TEST(Levels, TargetThatCannotBeOpenedOrRead) {
  RunResult none = run_tool({"-l"});
  EXPECT_EQ(std::pair(none.status, none.err),
            std::pair(1, std::string("r64 error: -1\nsystem : No such file or directory\ncannot open the target (none "
                                     "was named by -t, -pr or -ir): No such file or directory\n")));
  RunResult missing = run_tool({"-t", "missing.r64", "-lh"});
  EXPECT_EQ(std::pair(missing.status, missing.err),
            std::pair(1, std::string("r64 error: -1\nsystem : No such file or directory\n"
                                     "cannot open \"missing.r64\": No such file or directory\n")));
  write_file(scratch_path("x.r64"), "P6\n3 3\n255\n" + std::string(27, 'x'));
  RunResult foreign = run_tool({"-t", "x.r64", "-l"});
  EXPECT_EQ(std::pair(foreign.status, foreign.err),
            std::pair(1, std::string("r64 error: -5\n\"x.r64\" is not an R64 file\n")));
  write_file(scratch_path("h.r64"), std::string("R64P\x03\xE8\x03\x20", 8));  // a header alone
  RunResult broken = run_tool({"-t", "h.r64", "-l"});
  EXPECT_EQ(std::tuple(broken.status, broken.out, broken.err), std::tuple(1, kBanner + "-1\n", "broken file :: h.r64\n"));
}

}  // namespace
